// What this program was built from, written into it at build time: the project's version from
// CMake and the commit of the source tree.
#pragma once

namespace pavonix::build {

// "0.1.0".
extern const char* const version;
// The commit's abbreviated hash, with "-modified" when the tree had uncommitted changes; empty
// when the sources were not in a git checkout.
extern const char* const commit;

}  // namespace pavonix::build
