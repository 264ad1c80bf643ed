/*
 * Utility library: the agent's root directory and text conversion between
 * the agent's code sets.
 */
#ifndef QORUTIL_H
#define QORUTIL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QORUTIL_API __attribute__((visibility("default")))
#else
#define QORUTIL_API
#endif

/* The agent's root directory (/opt/orv, or ORV_ROOT when set and not empty),
 * NUL-terminated in buffer. Returns its length, or 0 when it does not fit. */
QORUTIL_API int GetQorRootPath(char *buffer, int size);

/* Converts srcLen bytes of src (-1: up to its NUL) from code set `from` to
 * `to` into dst, cut to dstSize - 1 bytes and terminated. Source and console
 * share one single-byte encoding here, so the bytes pass unchanged.
 * Returns the number of bytes stored. */
QORUTIL_API int QorCodeConvert(const char *src, int srcLen, char *dst, int dstSize, int from,
                               int to);

#ifdef __cplusplus
}
#endif

#endif /* QORUTIL_H */
