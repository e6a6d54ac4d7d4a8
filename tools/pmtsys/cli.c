/* Option parsing, messages and input/output shared by the verbs of the pmtsys command. */
#include "cli.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

void cli_parser_init(cli_parser* parser, const char* verb, const char* help, int argc,
                     char** argv) {
  parser->verb = verb;
  parser->help = help;
  parser->argc = argc;
  parser->argv = argv;
  parser->index = 0;
  parser->bundle = NULL;
  parser->optionsEnded = 0;
}

static int takeValue(cli_parser* parser, const char* inline_, const char** value,
                     const char* shownName) {
  if (inline_ != NULL && *inline_ != '\0') {
    *value = inline_;
    return 0;
  }
  if (parser->index >= parser->argc) {
    cli_usage(parser->verb, "option requires an argument -- '%s'", shownName);
    return CLI_BAD;
  }
  *value = parser->argv[parser->index++];
  return 0;
}

static int nextShort(cli_parser* parser, const cli_option* options, const char** value) {
  const char name = *parser->bundle++;
  char shown[2] = {name, '\0'};
  int i;
  for (i = 0; options[i].shortName != 0 || options[i].longName != NULL; ++i) {
    if (options[i].shortName != name) continue;
    if (options[i].takesValue) {
      const char* rest = parser->bundle;
      parser->bundle = NULL;
      return takeValue(parser, rest, value, shown) == 0 ? i : CLI_BAD;
    }
    if (*parser->bundle == '\0') parser->bundle = NULL;
    return i;
  }
  cli_usage(parser->verb, "invalid option -- '%s'", shown);
  return CLI_BAD;
}

static int nextLong(cli_parser* parser, const cli_option* options, const char* arg,
                    const char** value) {
  const char* equals = strchr(arg, '=');
  const size_t length = equals != NULL ? (size_t)(equals - arg) : strlen(arg);
  int found = CLI_BAD;
  int i;
  if (strcmp(arg, "help") == 0) {
    fputs(parser->help, stdout);
    return CLI_HELP;
  }
  /* Unambiguous prefixes are accepted, as the usual tools do (--dec for --decode). */
  for (i = 0; options[i].shortName != 0 || options[i].longName != NULL; ++i) {
    const char* name = options[i].longName;
    if (name == NULL || strncmp(name, arg, length) != 0) continue;
    if (name[length] == '\0') {
      found = i;
      break;
    }
    if (found != CLI_BAD) {
      cli_usage(parser->verb, "option '--%s' is ambiguous", arg);
      return CLI_BAD;
    }
    found = i;
  }
  if (found == CLI_BAD) {
    cli_usage(parser->verb, "unrecognized option '--%s'", arg);
    return CLI_BAD;
  }
  if (!options[found].takesValue) {
    if (equals == NULL) return found;
    cli_usage(parser->verb, "option '--%s' doesn't allow an argument", options[found].longName);
    return CLI_BAD;
  }
  if (equals != NULL) {
    *value = equals + 1;
    return found;
  }
  return takeValue(parser, NULL, value, options[found].longName) == 0 ? found : CLI_BAD;
}

int cli_next(cli_parser* parser, const cli_option* options, const char** value) {
  const char* arg;
  *value = NULL;
  if (parser->bundle != NULL) return nextShort(parser, options, value);
  if (parser->index >= parser->argc) return CLI_END;
  arg = parser->argv[parser->index++];
  if (!parser->optionsEnded && arg[0] == '-' && arg[1] != '\0') {
    if (strcmp(arg, "--") == 0) {
      parser->optionsEnded = 1;
      return cli_next(parser, options, value);
    }
    if (arg[1] == '-') return nextLong(parser, options, arg + 2, value);
    parser->bundle = arg + 1;
    return nextShort(parser, options, value);
  }
  *value = arg;
  return CLI_OPERAND;
}

static void report(const char* verb, const char* format, va_list args) {
  fflush(stdout);
  fprintf(stderr, "pmtsys%s%s: ", verb != NULL ? " " : "", verb != NULL ? verb : "");
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

int cli_fail(const char* verb, const char* format, ...) {
  va_list args;
  va_start(args, format);
  report(verb, format, args);
  va_end(args);
  return CLI_EXIT_FAILURE;
}

int cli_usage(const char* verb, const char* format, ...) {
  va_list args;
  va_start(args, format);
  report(verb, format, args);
  va_end(args);
  fprintf(stderr, "Try 'pmtsys%s%s --help' for more information.\n", verb != NULL ? " " : "",
          verb != NULL ? verb : "");
  return CLI_EXIT_USAGE;
}

int cli_failStatus(const char* verb, const char* call, int status) {
  return cli_fail(verb, "%s failed with status 0x%08x", call, (unsigned)status);
}

FILE* cli_openInput(const char* verb, const char* path) {
  FILE* in;
  if (path == NULL || strcmp(path, "-") == 0) return stdin;
  in = fopen(path, "rb");
  if (in == NULL) cli_fail(verb, "%s: %s", path, strerror(errno));
  return in;
}

int cli_read(const char* verb, FILE* in, void* buffer, size_t size, size_t* got) {
  errno = 0;
  *got = fread(buffer, 1, size, in);
  if (ferror(in)) return cli_fail(verb, "read error: %s", strerror(errno));
  return CLI_EXIT_OK;
}

int cli_write(const char* verb, const void* data, size_t size) {
  if (size == 0 || fwrite(data, 1, size, stdout) == size) return CLI_EXIT_OK;
  return cli_fail(verb, "write error: %s", strerror(errno));
}

int cli_finish(const char* verb, FILE* in, int exitCode) {
  if (in != NULL && in != stdin) fclose(in);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    if (exitCode == CLI_EXIT_OK) exitCode = cli_fail(verb, "write error: %s", strerror(errno));
  }
  return exitCode;
}
