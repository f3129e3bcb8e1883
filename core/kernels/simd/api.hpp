// What the kernel library exports to the modules that link it: one copy of the pool and of the
// target choice serves them all.
#pragma once

#define QUORIX_API __attribute__((visibility("default")))
