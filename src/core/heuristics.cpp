#include "heuristics.hpp"
