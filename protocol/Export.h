// What the shared host library exports: it is built with hidden visibility, and only what
// carries DAQ_API is seen by the programs that link it. Elsewhere the mark is empty.
#pragma once

#if defined(DAQ_SHARED_LIBRARY)
#define DAQ_API __attribute__((visibility("default")))
#else
#define DAQ_API
#endif
