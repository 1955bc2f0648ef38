#include "store/linkstore.h"

namespace Shortd
{

LinkStore::~LinkStore() = default;

} // namespace Shortd
