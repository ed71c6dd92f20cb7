#include "updaterow.h"
