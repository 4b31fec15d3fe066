#include "batch.hpp"
