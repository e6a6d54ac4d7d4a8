/* pmtsys: shows the library at work on this machine. Built on the library's public C interface
 * only, like any program of its users. */
#include <stdio.h>
#include <string.h>

#include "cli.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

typedef struct verb {
  const char* name;
  const char* summary;
  int (*run)(int argc, char** argv);
} verb;

static const verb kVerbs[] = {
    {"info", "what the library detects: processor, operating system, clocks", verb_info},
    {"base64", "encode or decode base64 (as GNU base64 does), streaming", verb_base64},
    {"cancel-demo", "workers stopped by a time-out or a cancel, unwinding with nothing leaked",
     verb_cancel_demo},
};
#define VERB_COUNT (sizeof kVerbs / sizeof kVerbs[0])

static void usage(FILE* out) {
  size_t i;
  fputs(
      "Usage: pmtsys COMMAND [OPTION]... [ARGUMENT]...\n"
      "Shows the pmtsys library at work on this machine.\n\nCommands:\n",
      out);
  for (i = 0; i < VERB_COUNT; ++i) fprintf(out, "  %-12s %s\n", kVerbs[i].name, kVerbs[i].summary);
  fputs(
      "\n'pmtsys COMMAND --help' describes a command. Exit status: 0 success, 1 failure,\n"
      "2 bad usage.\n",
      out);
}

int main(int argc, char** argv) {
  size_t i;
#if defined(_WIN32)
  /* Data passes through unchanged: no CR LF translation. */
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc < 2) {
    usage(stderr);
    return CLI_EXIT_USAGE;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    usage(stdout);
    return CLI_EXIT_OK;
  }
  for (i = 0; i < VERB_COUNT; ++i) {
    if (strcmp(argv[1], kVerbs[i].name) == 0) return kVerbs[i].run(argc - 2, argv + 2);
  }
  return cli_usage(NULL, "unknown command '%s'", argv[1]);
}
