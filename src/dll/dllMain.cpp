// Process attach and detach of the provider library.
#include "os/platTypes.h"
