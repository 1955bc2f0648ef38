#pragma once

// The wiring's view of the routes, for the tests and fuzz targets that drive them whole.
#include "routes/routes.h" // IWYU pragma: export
