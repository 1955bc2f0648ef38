#pragma once

// The metrics labels, made from the route table.
#include "routes/routetable.h" // IWYU pragma: export
