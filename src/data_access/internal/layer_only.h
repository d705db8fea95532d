// Included by every header that belongs to the data-access layer alone: the
// provider interface and the headers of the provider folders (sqlserver/,
// jet/) but for jet/connection_string.h and jet/writer.h. The layer's own
// targets (the library, its tests, the fuzz target) define
// QUELLMARK_DATA_ACCESS_INTERNALS; anything else that includes such a header
// does not build.
#pragma once

#ifndef QUELLMARK_DATA_ACCESS_INTERNALS
#error \
    "This header is internal to data_access: include data_access/data_access.h (or jet/connection_string.h, jet/writer.h)."
#endif
