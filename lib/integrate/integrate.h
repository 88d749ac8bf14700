// System integration: what a package declares besides its files.
#pragma once

#include "util/util.h"
