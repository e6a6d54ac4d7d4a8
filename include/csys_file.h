/* Thin wrappers over the C runtime's buffered files: library statuses, open and close safe to
 * repeat on one stream variable, and joining a directory and a file name. */
#ifndef CSYS_FILE_H
#define CSYS_FILE_H

#include <stddef.h>
#include <stdio.h>

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Seek origins. Note the order: 1 is the end, 2 the current position. */
#define CSYS_FILE_SEEK_BEGIN 0
#define CSYS_FILE_SEEK_END 1
#define CSYS_FILE_SEEK_CURRENT 2

/* Closes a stream already held in *file, then opens; CSYS_E_FILE_OPEN when it cannot. */
CSYS_API csys_status csys_fileOpenA(const char* path, const char* mode, FILE** file);
CSYS_API csys_status csys_fileOpenW(const wchar_t* path, const wchar_t* mode, FILE** file);
/* Sets *file to null whatever happens; CSYS_E_FILE_IO when the runtime reported an error. */
CSYS_API csys_status csys_fileClose(FILE** file);
CSYS_API csys_status csys_fileCloseNoFail(FILE** file);
CSYS_API csys_status csys_fileTell(FILE* stream, int32_t* position);
CSYS_API csys_status csys_fileTell64(FILE* stream, int64_t* position);
CSYS_API csys_status csys_fileSeek(FILE* stream, int32_t offset, int32_t origin);
CSYS_API csys_status csys_fileSeek64(FILE* stream, int64_t offset, int32_t origin);
/* directory + '/' + name into out[size], joined with one separator (none after a drive colon or
 * an empty directory), cut to size - 1 characters and always terminated; returns out. */
CSYS_API char* csys_fileMakePath(const char* directory, const char* name, int32_t size, char* out);

CSYS_EXTERN_C_END

#endif /* CSYS_FILE_H */
