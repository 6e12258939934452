#include "install/endpoints.h"

#if !defined(VELMOR_DOWNLOAD_HOST) || !defined(VELMOR_SUPPORT_URL) ||                              \
    !defined(VELMOR_PUBLISHER_KEYS)
#error                                                                                             \
    "VELMOR_DOWNLOAD_HOST, VELMOR_SUPPORT_URL and VELMOR_PUBLISHER_KEYS must be defined by the build"
#endif

#define VELMOR_WIDEN_(text) L##text
#define VELMOR_WIDEN(text) VELMOR_WIDEN_(text)

const char kDownloadHost[] = VELMOR_DOWNLOAD_HOST;
const wchar_t kSupportUrl[] = VELMOR_WIDEN(VELMOR_SUPPORT_URL);
const char kPublisherKeys[] = VELMOR_PUBLISHER_KEYS;
