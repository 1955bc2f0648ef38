#pragma once

namespace Shortd
{

// How a store call ended, whichever part of the store it asked.
enum class StoreStatus {
    Ok,
    Missing, // a lookup found nothing
    CodeTaken, // an insert hit an existing code
    TargetTaken, // an insert hit an existing (type, target) pair
    Failed, // the store itself failed; the error text says why
};

} // namespace Shortd
