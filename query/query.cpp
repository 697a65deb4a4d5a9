#include "query/query.hpp"
