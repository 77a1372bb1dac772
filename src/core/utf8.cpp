#include "utf8.hpp"
