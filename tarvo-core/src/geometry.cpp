#include "geometry.hpp"
