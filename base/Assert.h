// QM_ASSERT: checks an invariant whose failure is a bug, in every build.
#pragma once

#include <cstdio>
#include <cstdlib>

#define QM_ASSERT(cond)                                                                                                \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            (void)std::fprintf(stderr, "%s:%d: assertion failed: %s\n", __FILE__, __LINE__, #cond);                    \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
