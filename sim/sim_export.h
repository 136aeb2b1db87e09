#pragma once
// The C control functions of the simulated driver libraries: exported by name, so a host in
// any language can load the library and call them.
#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
