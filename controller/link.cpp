#include "link.h"

Link::~Link() = default;
