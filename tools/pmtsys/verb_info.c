/* pmtsys info: what the library detects on this machine (processor, operating system, both
 * clocks after calibration) and the library's version, as text or as JSON. */
#include <stdint.h>
#include <string.h>

#include "cli.h"
#include "csys_atomic.h"
#include "csys_cpuinfo.h"
#include "csys_timer.h"

#define VERB "info"

enum { OPT_JSON };
static const cli_option kOptions[] = {{0, "json", 0}, {0, NULL, 0}};

static const char kHelp[] =
    "Usage: pmtsys info [--json]\n"
    "Show the library's version and what it detects: the processor (vendor, brand, family and\n"
    "model, features, topology, processors and the active processor mask), the operating\n"
    "system, and both clocks after calibration (ticks per second and the cost of one timer\n"
    "start/stop pair).\n"
    "\n"
    "      --json  one JSON object instead of text\n"
    "      --help  display this help and exit\n"
    "Exit status: 0 success, 1 a detection failed, 2 bad usage.\n";

typedef struct clockFacts {
  int64_t ticksPerSecond;
  double overheadTicks;
} clockFacts;

typedef struct facts {
  csys_cpuinfo cpu;
  csys_osinfo os;
  clockFacts clocks[2];
} facts;

/* Names of the library's values; each table ends with the name of anything else. */
typedef struct named {
  uint32_t value;
  const char* name;
} named;

static const named kFeatures[] = {
    {CSYS_CPU_FEATURE_MMX, "mmx"},      {CSYS_CPU_FEATURE_SSE, "sse"},
    {CSYS_CPU_FEATURE_SSE2, "sse2"},    {CSYS_CPU_FEATURE_SSE3, "sse3"},
    {CSYS_CPU_FEATURE_SSE41, "sse4.1"}, {0, NULL}};
static const named kArchitectures[] = {
    {CSYS_CPU_ARCH_X86, "x86"}, {CSYS_CPU_ARCH_X64, "x64"}, {0, "unsupported"}};
static const named kByteOrders[] = {{CSYS_CPU_LITTLE_ENDIAN, "little-endian"},
                                    {CSYS_CPU_BIG_ENDIAN, "big-endian"},
                                    {CSYS_CPU_MIXED_ENDIAN, "mixed-endian"},
                                    {0, "unknown"}};
static const named kPlatforms[] = {
    {CSYS_OS_PLATFORM_WINDOWS, "windows"}, {CSYS_OS_PLATFORM_POSIX, "posix"}, {0, "unknown"}};

static const char* nameOf(const named* table, uint32_t value) {
  while (table->value != 0 && table->value != value) ++table;
  return table->name;
}

/* A timer corrects its readings by the calibrated cost of a start/stop pair; an interval long
 * enough to exceed that cost shows it as raw minus corrected ticks. */
static csys_status measureClock(int32_t kind, clockFacts* clock) {
  csys_timer timer;
  csys_timerTicks raw;
  double rawTicks = 0.0;
  double corrected = 0.0;
  csys_status status = kind == CSYS_CLOCK_SYSTEM_TICKS
                           ? csys_timer_init(&timer, 1)
                           : csys_timer_initScaledProcessorCycles(&timer, 1);
  if (!CSYS_FAILED(status)) status = csys_sleep(0.001);
  if (!CSYS_FAILED(status)) status = csys_timer_stop(&timer);
  if (!CSYS_FAILED(status)) status = csys_timer_getRawTicks(&timer, &raw);
  if (!CSYS_FAILED(status)) status = csys_timerTicks_convertToDouble(&raw, &rawTicks);
  if (!CSYS_FAILED(status)) status = csys_timer_getTicksDouble(&timer, &corrected);
  if (!CSYS_FAILED(status))
    status = csys_timer_getTimerTicksPerSecond(&timer, &clock->ticksPerSecond);
  clock->overheadTicks = rawTicks - corrected;
  return status;
}

/* One printer for both forms: sections of key/value fields, as indented text or as JSON. */
typedef struct emitter {
  int json;
  int sections;
  int fields; /* in the current section */
} emitter;

static void beginSection(emitter* e, const char* name, const char* jsonName) {
  if (e->json) {
    printf("%s\"%s\": {", e->sections++ ? ",\n " : "{", jsonName);
  } else {
    printf("%s\n", name);
  }
  e->fields = 0;
}

static void endSection(const emitter* e) {
  if (e->json) putchar('}');
}

/* Vendor and brand come from the processor: printable ASCII, quotes and backslashes escaped. */
static void field(emitter* e, const char* key, const char* jsonKey, const char* value, int quoted) {
  if (!e->json) {
    printf("  %s: %s\n", key, value);
    return;
  }
  printf("%s\"%s\": %s", e->fields++ ? ", " : "", jsonKey, quoted ? "\"" : "");
  for (; *value != '\0'; ++value) {
    if (quoted && (*value == '"' || *value == '\\')) putchar('\\');
    if (*value >= 0x20 && *value < 0x7F) putchar(*value);
  }
  if (quoted) putchar('"');
}

static void number(emitter* e, const char* key, const char* jsonKey, long long value) {
  char text[32];
  snprintf(text, sizeof text, "%lld", value);
  field(e, key, jsonKey, text, 0);
}

/* Features by name: "mmx sse" as text, ["mmx", "sse"] in JSON. */
static void features(emitter* e, uint32_t bits) {
  char list[128] = "";
  size_t i;
  if (e->json) strcat(list, "[");
  for (i = 0; kFeatures[i].name != NULL; ++i) {
    if ((bits & kFeatures[i].value) == 0) continue;
    if (strlen(list) > 1) strcat(list, e->json ? ", " : " ");
    if (e->json) strcat(list, "\"");
    strcat(list, kFeatures[i].name);
    if (e->json) strcat(list, "\"");
  }
  if (e->json) strcat(list, "]");
  field(e, "features", "features", list, 0);
}

static void print(const facts* f, int json) {
  const csys_cpuinfo* cpu = &f->cpu;
  emitter e = {json, 0, 0};
  char text[32];
  beginSection(&e, "library", "library");
  field(&e, "name", "name", "pmtsys10_x64d", 1);
  field(&e, "version", "version", PMTSYS_VERSION, 1);
  endSection(&e);
  beginSection(&e, "processor", "processor");
  field(&e, "vendor", "vendor", cpu->vendor, 1);
  field(&e, "brand", "brand", cpu->brand, 1);
  field(&e, "architecture", "architecture", nameOf(kArchitectures, cpu->architecture), 1);
  number(&e, "family", "family", cpu->family);
  number(&e, "model", "model", cpu->model >> 8);
  number(&e, "stepping", "stepping", cpu->model & 0xFF);
  features(&e, cpu->features);
  field(&e, "byte order", "byteOrder", nameOf(kByteOrders, cpu->byteOrder), 1);
  number(&e, "processors", "processors", cpu->numProcessors);
  snprintf(text, sizeof text, "0x%x", cpu->activeProcessorMask);
  field(&e, "active mask", "activeMask", text, 1);
  number(&e, "packages", "packages", cpu->numPackages);
  number(&e, "cores per package", "coresPerPackage", cpu->coresAndThreads >> 8);
  number(&e, "threads per core", "threadsPerCore", cpu->coresAndThreads & 0xFF);
  endSection(&e);
  beginSection(&e, "operating system", "os");
  field(&e, "platform", "platform", nameOf(kPlatforms, f->os.platform), 1);
  snprintf(text, sizeof text, "%d.%d", f->os.major, f->os.minor);
  field(&e, "version", "version", text, 1);
  number(&e, "build", "build", f->os.build);
  number(&e, "service pack", "servicePack", f->os.servicePack);
  endSection(&e);
  beginSection(&e, "clocks (after calibration)", "clocks");
  number(&e, "system ticks per second", "systemTicksPerSecond", f->clocks[0].ticksPerSecond);
  number(&e, "system ticks start/stop overhead", "systemTicksOverhead",
         (long long)f->clocks[0].overheadTicks);
  number(&e, "processor cycles per second", "processorCyclesPerSecond",
         f->clocks[1].ticksPerSecond);
  number(&e, "processor cycles start/stop overhead", "processorCyclesOverhead",
         (long long)f->clocks[1].overheadTicks);
  endSection(&e);
  if (json) printf("}\n");
}

int verb_info(int argc, char** argv) {
  cli_parser parser;
  const char* value;
  int json = 0;
  int option;
  facts f;
  size_t length;
  csys_status status;
  cli_parser_init(&parser, VERB, kHelp, argc, argv);
  while ((option = cli_next(&parser, kOptions, &value)) != CLI_END) {
    if (option == OPT_JSON) {
      json = 1;
    } else if (option == CLI_HELP) {
      return cli_finish(VERB, NULL, CLI_EXIT_OK);
    } else if (option == CLI_OPERAND) {
      return cli_usage(VERB, "extra operand '%s'", value);
    } else {
      return CLI_EXIT_USAGE;
    }
  }
  memset(&f, 0, sizeof f);
  status = csys_cpuinfo_init(&f.cpu);
  if (CSYS_FAILED(status)) return cli_failStatus(VERB, "csys_cpuinfo_init", status);
  /* The brand fills its field with blanks; they carry nothing. */
  for (length = strlen(f.cpu.brand); length > 0 && f.cpu.brand[length - 1] == ' '; --length) {
    f.cpu.brand[length - 1] = '\0';
  }
  status = csys_osinfo_init(&f.os);
  if (CSYS_FAILED(status)) return cli_failStatus(VERB, "csys_osinfo_init", status);
  status = measureClock(CSYS_CLOCK_SYSTEM_TICKS, &f.clocks[0]);
  if (!CSYS_FAILED(status)) status = measureClock(CSYS_CLOCK_PROCESSOR_CYCLES, &f.clocks[1]);
  if (CSYS_FAILED(status)) return cli_failStatus(VERB, "measuring the clocks", status);
  print(&f, json);
  return cli_finish(VERB, NULL, CLI_EXIT_OK);
}
