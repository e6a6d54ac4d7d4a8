/* The pmtsys command: verbs, option parsing and the messages and exit codes shared by every verb
 * (0 success, 1 failure, 2 bad usage, as the usual command-line tools use them). */
#ifndef PMTSYS_CLI_H
#define PMTSYS_CLI_H

#include <stdio.h>

#define CLI_EXIT_OK 0
#define CLI_EXIT_FAILURE 1
#define CLI_EXIT_USAGE 2

typedef struct cli_option {
  char shortName;       /* 0: long form only */
  const char* longName; /* null: short form only */
  int takesValue;
} cli_option;

/* Walks a verb's arguments the GNU way: options and operands in any order, short options
 * bundled (-di, -w76), long options as --name=value or --name value, "--" ends the options. */
typedef struct cli_parser {
  const char* verb;
  const char* help; /* printed for --help */
  int argc;
  char** argv;
  int index;
  const char* bundle; /* the rest of a bundle of short options */
  int optionsEnded;
} cli_parser;

#define CLI_END (-1)
#define CLI_OPERAND (-2)
#define CLI_BAD (-3)  /* already reported */
#define CLI_HELP (-4) /* --help, its text printed */

void cli_parser_init(cli_parser* parser, const char* verb, const char* help, int argc, char** argv);
/* The index of the next option in `options` (its value in *value), CLI_OPERAND with the operand
 * in *value, CLI_END, CLI_HELP after printing the help, or CLI_BAD after printing why. */
int cli_next(cli_parser* parser, const cli_option* options, const char** value);

/* "pmtsys VERB: message" on standard error; returns CLI_EXIT_FAILURE. */
int cli_fail(const char* verb, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
/* The same, then the pointer to --help; returns CLI_EXIT_USAGE. */
int cli_usage(const char* verb, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
/* Reports the failed library call by name and status; returns CLI_EXIT_FAILURE. */
int cli_failStatus(const char* verb, const char* call, int status);

/* Opens FILE, or standard input for "-" or no operand, for binary reading. Null after reporting
 * why the file cannot be opened. */
FILE* cli_openInput(const char* verb, const char* path);
/* Reads up to `size` bytes, fewer only at the end of the input (*got 0: the end). Reports a read
 * error and returns CLI_EXIT_FAILURE; 0 otherwise. */
int cli_read(const char* verb, FILE* in, void* buffer, size_t size, size_t* got);
/* Writes to standard output; reports a write error and returns CLI_EXIT_FAILURE. */
int cli_write(const char* verb, const void* data, size_t size);
/* Closes what cli_openInput opened, flushes standard output (a failure to write there turns
 * exitCode into CLI_EXIT_FAILURE) and returns exitCode. */
int cli_finish(const char* verb, FILE* in, int exitCode);

/* Each verb: its arguments after the verb name, its exit code. */
int verb_base64(int argc, char** argv);
int verb_info(int argc, char** argv);
int verb_cancel_demo(int argc, char** argv);

#endif /* PMTSYS_CLI_H */
