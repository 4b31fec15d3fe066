#include "align.hpp"
