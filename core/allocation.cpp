#include "allocation.h"

#include <cstdlib>

namespace {
allocation_hooks current_hooks = {std::malloc, std::free};
}

void* core_allocate(std::size_t bytes)
{
    return current_hooks.allocate(bytes);
}

void core_release(void* block)
{
    current_hooks.release(block);
}

allocation_hooks set_allocation_hooks(allocation_hooks hooks)
{
    const allocation_hooks previous = current_hooks;
    current_hooks = hooks;
    return previous;
}
