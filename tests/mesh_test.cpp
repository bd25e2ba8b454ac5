#include <gtest/gtest.h>

#include "node_harness.h"
