// The package's writer with its options (to_toml with WriteOptions): the
// serializer's code compiled a second time, on its own, with the Extended
// instances in use. See the note at the top of ser.cpp.
#define VEXIL_SER_EXTENDED 1
#include "ser.cpp"
