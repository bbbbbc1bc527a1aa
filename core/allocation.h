// Every allocation of the core goes through here, so tests can count
// allocations and make them fail.
#pragma once

#include <cstddef>

struct allocation_hooks {
    void* (*allocate)(std::size_t bytes);
    void (*release)(void* block);
};

void* core_allocate(std::size_t bytes);
void core_release(void* block);

// Installs new hooks and returns the previous ones. Not synchronised: swap
// hooks only while no filter runs.
allocation_hooks set_allocation_hooks(allocation_hooks hooks);
