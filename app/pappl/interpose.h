// The stand-ins in front of PAPPL's and its libraries' calls (PAPPL reaches
// them through the dynamic linker) hand on to the definition they hide.
// Each name here is in layer.cpp's list too, which the server checks
// before it starts.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

// nextDefinition: the definition of name after this program's own, of the
// type of the stand-in f. One that is missing is a name left out of
// layer.cpp's list: said, and the program stops.
template <class F>
F* nextDefinition(const char* name, F* /*f*/)
{
    F* next = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
    if (next == nullptr) {
        std::fprintf(stderr, "PAPPL layer: no definition of %s behind its stand-in\n", name);
        std::abort();
    }
    return next;
}
