/* Every public header compiles as C11, and its declarations are usable from C. */
#include "pmtsys.h"

int pmtsys_abi_c11_status_is_failure(csys_status status) {
  csys_printfAHooks hooks;
  csys_printfAHooks_init(&hooks);
  return CSYS_FAILED(status) ? 1 : 0;
}
