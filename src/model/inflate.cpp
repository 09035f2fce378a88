// The vendored inflate (third_party/puff), compiled as part of vora_model.
#include "puff/puff.c"
