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

static const char* clockName(int kind) {
  return kind == CSYS_CLOCK_SYSTEM_TICKS ? "system-ticks" : "processor-cycles";
}

static void printFeatures(uint32_t features, const char* separator, const char* quote) {
  size_t i;
  const char* next = "";
  for (i = 0; kFeatures[i].name != NULL; ++i) {
    if ((features & kFeatures[i].value) == 0) continue;
    printf("%s%s%s%s", next, quote, kFeatures[i].name, quote);
    next = separator;
  }
}

static void printText(const facts* f) {
  const csys_cpuinfo* cpu = &f->cpu;
  int kind;
  printf("library\n  name: pmtsys10_x64d\n  version: %s\n", PMTSYS_VERSION);
  printf("processor\n  vendor: %s\n  brand: %s\n  architecture: %s\n  family: %d\n", cpu->vendor,
         cpu->brand, nameOf(kArchitectures, cpu->architecture), cpu->family);
  printf("  model: %d\n  stepping: %d\n  features: ", cpu->model >> 8, cpu->model & 0xFF);
  printFeatures(cpu->features, " ", "");
  printf("\n  byte order: %s\n  processors: %u\n  active mask: 0x%x\n  packages: %u\n",
         nameOf(kByteOrders, cpu->byteOrder), cpu->numProcessors, cpu->activeProcessorMask,
         cpu->numPackages);
  printf("  cores per package: %u\n  threads per core: %u\n", cpu->coresAndThreads >> 8,
         cpu->coresAndThreads & 0xFF);
  printf("operating system\n  platform: %s\n  version: %d.%d\n  build: %d\n  service pack: %d\n",
         nameOf(kPlatforms, f->os.platform), f->os.major, f->os.minor, f->os.build,
         f->os.servicePack);
  printf("clocks\n");
  for (kind = 0; kind < 2; ++kind) {
    printf("  %s: %lld ticks per second, start/stop overhead %.0f ticks\n", clockName(kind),
           (long long)f->clocks[kind].ticksPerSecond, f->clocks[kind].overheadTicks);
  }
}

/* Vendor and brand come from the processor: printable ASCII, quotes and backslashes escaped. */
static void printJsonString(const char* key, const char* text, const char* after) {
  printf("\"%s\": \"", key);
  for (; *text != '\0'; ++text) {
    if (*text == '"' || *text == '\\') putchar('\\');
    if (*text >= 0x20 && *text < 0x7F) putchar(*text);
  }
  printf("\"%s", after);
}

static void printJson(const facts* f) {
  const csys_cpuinfo* cpu = &f->cpu;
  int kind;
  printf("{\"library\": {\"name\": \"pmtsys10_x64d\", \"version\": \"%s\"},\n", PMTSYS_VERSION);
  printf(" \"processor\": {");
  printJsonString("vendor", cpu->vendor, ", ");
  printJsonString("brand", cpu->brand, ", ");
  printf("\"architecture\": \"%s\", \"family\": %d, \"model\": %d, \"stepping\": %d, ",
         nameOf(kArchitectures, cpu->architecture), cpu->family, cpu->model >> 8,
         cpu->model & 0xFF);
  printf("\"features\": [");
  printFeatures(cpu->features, ", ", "\"");
  printf("], \"byteOrder\": \"%s\", \"processors\": %u, \"activeMask\": %u, \"packages\": %u, ",
         nameOf(kByteOrders, cpu->byteOrder), cpu->numProcessors, cpu->activeProcessorMask,
         cpu->numPackages);
  printf("\"coresPerPackage\": %u, \"threadsPerCore\": %u},\n", cpu->coresAndThreads >> 8,
         cpu->coresAndThreads & 0xFF);
  printf(
      " \"os\": {\"platform\": \"%s\", \"major\": %d, \"minor\": %d, \"build\": %d, "
      "\"servicePack\": %d},\n \"clocks\": {",
      nameOf(kPlatforms, f->os.platform), f->os.major, f->os.minor, f->os.build, f->os.servicePack);
  for (kind = 0; kind < 2; ++kind) {
    printf("%s\"%s\": {\"ticksPerSecond\": %lld, \"overheadTicks\": %.0f}", kind ? ", " : "",
           clockName(kind), (long long)f->clocks[kind].ticksPerSecond,
           f->clocks[kind].overheadTicks);
  }
  printf("}}\n");
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
  if (json) {
    printJson(&f);
  } else {
    printText(&f);
  }
  return cli_finish(VERB, NULL, CLI_EXIT_OK);
}
