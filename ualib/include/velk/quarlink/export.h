#pragma once

#if defined(__GNUC__)
#define VELK_QUARLINK_API __attribute__((visibility("default")))
#else
#define VELK_QUARLINK_API
#endif
