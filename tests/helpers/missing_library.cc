// The library that tests/helpers/unloadable needs, built into a folder of its
// own where the loader does not look.
#ifdef _WIN32
extern "C" __declspec(dllexport) int zizaro_missing_function() { return 0; }
#else
extern "C" int zizaro_missing_function() { return 0; }
#endif
