// A program that cannot start: it needs a library (missing_library) that
// lies nowhere the system looks for it, so that the system's loader ends it
// at once, as a client whose installation lost a library ends.
#ifdef _WIN32
extern "C" __declspec(dllimport) int zizaro_missing_function();
#else
extern "C" int zizaro_missing_function();
#endif

int main() { return zizaro_missing_function(); }
