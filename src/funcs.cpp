#include "funcs.hpp"
