/* pmtsys base64: the library's base64 behind the command line of GNU base64, byte for byte.
 * The input streams through fixed blocks, so memory does not grow with the file. The library
 * converts; this verb only frames: line wrapping, newlines and garbage, and the way the usual
 * tool decodes group by group and writes what it decoded before the first bad character. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "csec_base64.h"

#define VERB "base64"

enum { OPT_DECODE, OPT_IGNORE_GARBAGE, OPT_WRAP };
static const cli_option kOptions[] = {
    {'d', "decode", 0}, {'i', "ignore-garbage", 0}, {'w', "wrap", 1}, {0, NULL, 0}};

static const char kHelp[] =
    "Usage: pmtsys base64 [OPTION]... [FILE]\n"
    "Base64 encode or decode FILE, or standard input, to standard output; the output is the\n"
    "same as GNU base64's.\n"
    "\n"
    "With no FILE, or when FILE is -, read standard input.\n"
    "\n"
    "  -d, --decode          decode data\n"
    "  -i, --ignore-garbage  when decoding, ignore non-alphabet characters\n"
    "  -w, --wrap=COLS       wrap encoded lines after COLS characters (default 76);\n"
    "                        0 disables line wrapping\n"
    "      --help            display this help and exit\n"
    "\n"
    "Decoding accepts newlines anywhere; any other character outside the base64 alphabet is\n"
    "an error unless -i is given. The data is read and written in blocks of 64 KiB.\n"
    "Exit status: 0 success, 1 invalid input or an unreadable file, 2 bad usage.\n";

/* Whole groups of three bytes per block, so that only the last block is padded. */
#define ENCODE_BLOCK (3u * 16384u)
#define DECODE_BLOCK 65536u

static int writeWrapped(const char* text, size_t length, uint64_t wrap, uint64_t* column) {
  while (length > 0) {
    const size_t room = wrap == 0 ? length : (size_t)(wrap - *column);
    const size_t n = length < room ? length : room;
    if (cli_write(VERB, text, n) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    text += n;
    length -= n;
    *column += n;
    if (wrap != 0 && *column == wrap) {
      *column = 0;
      if (cli_write(VERB, "\n", 1) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    }
  }
  return CLI_EXIT_OK;
}

static int encode(FILE* in, uint64_t wrap) {
  static uint8_t bytes[ENCODE_BLOCK];
  static char text[ENCODE_BLOCK / 3 * 4 + 1];
  uint64_t column = 0;
  size_t got = sizeof bytes;
  while (got == sizeof bytes) {
    csys_status status;
    if (cli_read(VERB, in, bytes, sizeof bytes, &got) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    if (got == 0) break;
    status = csec_base64_encodeToDest((uint32_t)got, bytes, (uint32_t)sizeof text, text);
    if (CSYS_FAILED(status)) return cli_failStatus(VERB, "csec_base64_encodeToDest", status);
    if (writeWrapped(text, strlen(text), wrap, &column) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
  }
  return wrap != 0 && column > 0 ? cli_write(VERB, "\n", 1) : CLI_EXIT_OK;
}

static uint8_t g_decoded[(DECODE_BLOCK + 8) / 4 * 3];

/* Decodes whole groups into g_decoded. True when the library accepts them and gives every byte
 * they stand for: blanks, which the library skips, and NULs, which end its text, are refused
 * here by the count. text[length] must be writable. */
static int decodeGroups(char* text, size_t length, uint32_t* decoded) {
  const uint32_t capacity = (uint32_t)(length / 4 * 3);
  const char saved = text[length];
  uint32_t pads = 0;
  csys_status status;
  while (pads < 2 && text[length - 1 - pads] == '=') ++pads;
  text[length] = '\0';
  *decoded = capacity;
  status = csec_base64_decodeToDest(text, decoded, g_decoded);
  text[length] = saved;
  return !CSYS_FAILED(status) && *decoded == capacity - pads;
}

/* What the usual tool writes of a group it refuses: the bytes of its characters before the first
 * bad one (none, one or two), which decode as the group cut short and padded. */
static int refuseGroup(const char* group, size_t length) {
  char candidate[5] = {0};
  uint32_t decoded = 0;
  memcpy(candidate, group, length < 3 ? length : 3);
  candidate[3] = '=';
  if (length < 3 || group[2] == '=' || !decodeGroups(candidate, 4, &decoded)) {
    candidate[2] = '=';
    if (length < 2 || !decodeGroups(candidate, 4, &decoded)) decoded = 0;
  }
  if (cli_write(VERB, g_decoded, decoded) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
  return cli_fail(VERB, "invalid input");
}

/* A run of whole groups with "=" in its last group only: one library call, or, when it is
 * refused, group by group up to the bad one. */
static int decodeRun(char* run, size_t length) {
  uint32_t decoded;
  size_t at;
  if (decodeGroups(run, length, &decoded)) return cli_write(VERB, g_decoded, decoded);
  for (at = 0; at < length; at += 4) {
    if (!decodeGroups(run + at, 4, &decoded)) return refuseGroup(run + at, 4);
    if (cli_write(VERB, g_decoded, decoded) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
  }
  return CLI_EXIT_OK;
}

/* Each group carries its own padding, so a padded group ends a run. */
static int decodeText(char* text, size_t length) {
  size_t start = 0;
  size_t end = 0;
  while (end < length) {
    end += 4;
    if (end < length && memchr(text + end - 4, '=', 4) == NULL) continue;
    if (decodeRun(text + start, end - start) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    start = end;
  }
  return CLI_EXIT_OK;
}

static int isBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

static int decode(FILE* in, int ignoreGarbage) {
  static char input[DECODE_BLOCK];
  static char text[DECODE_BLOCK + 8]; /* a partial group carried over, a block, a NUL */
  size_t pending = 0;
  size_t got = sizeof input;
  while (got == sizeof input) {
    size_t i;
    size_t whole;
    if (cli_read(VERB, in, input, sizeof input, &got) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    for (i = 0; i < got; ++i) {
      if (input[i] != '\n' && (!ignoreGarbage || isBase64Char(input[i])))
        text[pending++] = input[i];
    }
    whole = pending - pending % 4;
    if (decodeText(text, whole) != CLI_EXIT_OK) return CLI_EXIT_FAILURE;
    memmove(text, text + whole, pending - whole);
    pending -= whole;
  }
  return pending > 0 ? refuseGroup(text, pending) : CLI_EXIT_OK;
}

static int parseWrap(const char* value, uint64_t* wrap) {
  char* end = NULL;
  if (*value < '0' || *value > '9') return 0;
  *wrap = strtoull(value, &end, 10);
  return *end == '\0';
}

int verb_base64(int argc, char** argv) {
  cli_parser parser;
  const char* value;
  const char* path = NULL;
  int decoding = 0;
  int ignoreGarbage = 0;
  uint64_t wrap = 76;
  int option;
  FILE* in;
  cli_parser_init(&parser, VERB, kHelp, argc, argv);
  while ((option = cli_next(&parser, kOptions, &value)) != CLI_END) {
    switch (option) {
      case OPT_DECODE:
        decoding = 1;
        break;
      case OPT_IGNORE_GARBAGE:
        ignoreGarbage = 1;
        break;
      case OPT_WRAP:
        if (!parseWrap(value, &wrap)) return cli_usage(VERB, "invalid wrap size: '%s'", value);
        break;
      case CLI_HELP:
        return cli_finish(VERB, NULL, CLI_EXIT_OK);
      case CLI_OPERAND:
        if (path != NULL) return cli_usage(VERB, "extra operand '%s'", value);
        path = value;
        break;
      default:
        return CLI_EXIT_USAGE;
    }
  }
  in = cli_openInput(VERB, path);
  if (in == NULL) return CLI_EXIT_FAILURE;
  return cli_finish(VERB, in, decoding ? decode(in, ignoreGarbage) : encode(in, wrap));
}
