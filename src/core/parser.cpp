#include "parser.hpp"
