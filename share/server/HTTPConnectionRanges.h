// Range normalisation for file responses: the request's byte ranges checked against the
// file size, sorted and merged. Portable.
#pragma once
#include <cstddef>
#include <cstdint>

#include "HttpRequest.h"

// Answers true with the one usable range in *first/*last (206); false means the whole file
// is sent (200): no ranges, none usable, or more than one left after merging.
bool normalizeSingleRange(const ByteRange* ranges, size_t count, int64_t size, int64_t* first,
                          int64_t* last);
