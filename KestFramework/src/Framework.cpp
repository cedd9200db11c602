// Framework sources are added beside this one as they arrive.
#include "Log.h"
