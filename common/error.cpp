#include "common/error.h"
