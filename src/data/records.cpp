#include "data/records.hpp"
