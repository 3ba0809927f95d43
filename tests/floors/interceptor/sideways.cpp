// Fixture of the floor check: the interceptor reaching across to the policy.
#include "interceptor/interceptor.hpp"
#include "policy/policy.hpp"
