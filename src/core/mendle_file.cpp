#include "mendle_file.hpp"
