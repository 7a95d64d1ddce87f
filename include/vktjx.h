/* VktJX, the VKT serial-line driver: the twelve functions a host calls.
 *
 * The host starts the driver with drvStartComm (settings from "VktJX.Cfg" in the current
 * directory), reads and writes tags through the six tag functions, and stops it again with
 * drvStopComm. Every call runs to completion on the calling thread; the host makes one call at
 * a time. Values travel through handles of the value library (et32b.h).
 *
 * The 16-bit results are 1 for success and -1 for failure; the code of the last failure of each
 * kind of operation is read back as a tag of kind 5 (address 0 any, 1 start, 2 read, 3 write).
 * A fourth start parameter of 4721 logs the calls to a new log file, 6358 appends to it.
 *
 * C linkage, C calling convention, undecorated names; usable from C and C++. */
#ifndef VKTJX_H
#define VKTJX_H

#include <stdint.h>

#include "et32b.h"

#if defined(_WIN32)
#define VKTJX_CALL __cdecl
#else
#define VKTJX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
typedef struct HostTag {
    uint8_t  reserved[4];
    uint16_t writeCount;   /* elements written by drvWriteBlock */
    uint16_t offset;       /* added to address by the two element functions */
    uint16_t size;         /* only logged */
    int16_t  station;      /* 1..255 */
    uint16_t kind;         /* 0 bit, 1 word, 2 float, 5 error register */
    uint16_t address;      /* first element; for kind 5 the register index */
    uint16_t count;        /* elements read by drvReadBlock */
} HostTag;                 /* 18 bytes, little-endian */
#pragma pack(pop)

/* Data kinds of a tag (HostTag.kind). */
#define VKTJX_KIND_BIT            0
#define VKTJX_KIND_WORD           1
#define VKTJX_KIND_FLOAT          2
#define VKTJX_KIND_ERROR_REGISTER 5

/* Error registers (HostTag.address of a kind 5 tag): the code of the last failure of any
 * operation, of a start, of a read, of a write; 0 after a success. */
#define VKTJX_REGISTER_ANY   0
#define VKTJX_REGISTER_START 1
#define VKTJX_REGISTER_READ  2
#define VKTJX_REGISTER_WRITE 3
#define VKTJX_REGISTER_COUNT 4

/* Log-on codes for the fourth start parameter. */
#define VKTJX_LOG_NEW_FILE 4721
#define VKTJX_LOG_APPEND   6358

int16_t     VKTJX_CALL drvStartComm(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t p4);
int16_t     VKTJX_CALL drvStopComm(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t p4);
int32_t     VKTJX_CALL drvGetCaps(void);
const char* VKTJX_CALL drvGetDriverName(void);
HVALUE      VKTJX_CALL drvSetSettingsHandle(HVALUE handle);
int16_t     VKTJX_CALL drvDriverDialog(int32_t unused);
int16_t     VKTJX_CALL drvReadValue(const HostTag* tag, HVALUE value);
int16_t     VKTJX_CALL drvReadBlock(const HostTag* tag, HVALUE value);
int16_t     VKTJX_CALL drvReadBlockElement(const HostTag* tag, HVALUE value);
int16_t     VKTJX_CALL drvWriteValue(const HostTag* tag, HVALUE value);
int16_t     VKTJX_CALL drvWriteBlock(const HostTag* tag, HVALUE value);
int16_t     VKTJX_CALL drvWriteBlockElement(const HostTag* tag, HVALUE value);

#ifdef __cplusplus
}
#endif

#endif /* VKTJX_H */
