#pragma once

// Marks what the host may see: the exported factory functions and the
// interfaces whose vtables and type information cross the library boundary.
// Everything else in the REST library is built with hidden visibility.
#define FENNIC_EXPORT __attribute__((visibility("default")))
