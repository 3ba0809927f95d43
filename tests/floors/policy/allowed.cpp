// Fixture of the floor check: includes of its own floor and of core only.
#include "core/contract.hpp"
#include "policy/policy.hpp"
#include "local.hpp"
