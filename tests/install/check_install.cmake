# Installs the library into a scratch prefix, builds and runs a consumer through the CMake
# package and through pkg-config, and runs the installed pmtsys command. Arguments: BUILD_DIR,
# SOURCE_DIR, WORK_DIR, C_COMPILER.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
  message(FATAL_ERROR "install failed")
endif()
set(ENV{LD_LIBRARY_PATH} ${WORK_DIR}/prefix/lib)

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_C_COMPILER=${C_COMPILER}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer
                  RESULT_VARIABLE result OUTPUT_QUIET)
endif()
if(NOT result)
  execute_process(COMMAND ${WORK_DIR}/consumer/consumer RESULT_VARIABLE result)
endif()
if(result)
  message(FATAL_ERROR "find_package(pmtsys) consumer failed")
endif()

set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/prefix/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs pmtsys OUTPUT_VARIABLE flags
                RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
if(result)
  message(FATAL_ERROR "pkg-config does not know pmtsys")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${C_COMPILER} ${SOURCE_DIR}/consumer.c ${flags} -o ${WORK_DIR}/pc_consumer
                RESULT_VARIABLE result)
if(NOT result)
  execute_process(COMMAND ${WORK_DIR}/pc_consumer RESULT_VARIABLE result)
endif()
if(result)
  message(FATAL_ERROR "pkg-config consumer failed")
endif()

# The command is installed beside the library and runs from there (no LD_LIBRARY_PATH).
unset(ENV{LD_LIBRARY_PATH})
execute_process(COMMAND ${WORK_DIR}/prefix/bin/pmtsys base64 ${SOURCE_DIR}/consumer.c
                OUTPUT_VARIABLE encoded RESULT_VARIABLE result)
if(NOT result)
  file(WRITE ${WORK_DIR}/consumer.b64 "${encoded}")
  execute_process(COMMAND ${WORK_DIR}/prefix/bin/pmtsys base64 -d ${WORK_DIR}/consumer.b64
                  OUTPUT_VARIABLE decoded RESULT_VARIABLE result)
endif()
file(READ ${SOURCE_DIR}/consumer.c original)
if(result OR NOT decoded STREQUAL original)
  message(FATAL_ERROR "the installed pmtsys command failed")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
