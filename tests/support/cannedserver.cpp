#include "cannedserver.h"
