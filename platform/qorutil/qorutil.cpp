// Utility library: the agent's root directory and code conversion.
#include "qorutil.h"

#include "agent_root.h"

#include <cstdlib>
#include <cstring>

extern "C" QORUTIL_API int GetQorRootPath(char *buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    const char *root = orv::agentRoot();
    size_t length = std::strlen(root);
    if (length + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, root, length + 1);
    return static_cast<int>(length);
}

extern "C" QORUTIL_API int QorCodeConvert(const char *src, int srcLen, char *dst, int dstSize,
                                          int /*from*/, int /*to*/) {
    if (dst == nullptr || dstSize <= 0) return 0;
    if (src == nullptr) {
        dst[0] = '\0';
        return 0;
    }
    size_t length = srcLen < 0 ? std::strlen(src) : static_cast<size_t>(srcLen);
    if (length > static_cast<size_t>(dstSize) - 1) length = static_cast<size_t>(dstSize) - 1;
    std::memcpy(dst, src, length);
    dst[length] = '\0';
    return static_cast<int>(length);
}
