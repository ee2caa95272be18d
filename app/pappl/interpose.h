// The stand-ins in front of PAPPL's and its libraries' calls (PAPPL reaches
// them through the dynamic linker) hand on to the definition they hide.
#pragma once

#include <dlfcn.h>

// nextDefinition: the definition of name after this program's own, of the
// type of the stand-in f; nullptr when there is none.
template <class F>
F* nextDefinition(const char* name, F* /*f*/)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}
