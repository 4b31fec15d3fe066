#include "mapping.hpp"
