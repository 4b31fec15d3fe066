#include "tarvo.hpp"
