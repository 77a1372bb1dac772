#include "mendle.hpp"
