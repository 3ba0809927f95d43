// Fixture of the floor check: core reaching up to start-up.
#include "core/core.hpp"
#include "startup/startup.hpp"
