// fwu-bench-update-portable: firmware-update itself with every digest on
// the portable engine, the one a CPU of the device's class (no SHA
// extensions, no BMI2) runs, so that a full update can be measured as the
// device pays for hashing on a host that has both. For bench/run only: the
// shipped tool chooses its engine from the CPU and has no switch for it.
#include "digest/sha256.h"

namespace {

[[gnu::constructor]] void force_portable_engine()
{
    sha256_use_engine(sha256_engine::portable);
}

}  // namespace
