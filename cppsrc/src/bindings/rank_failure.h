// A failure of one rank of an MPI job, made known to the others.
#pragma once

#include "comm/rank_session.h"

namespace rank_failure {

// For the catch block through which an exception leaves an `execute`, with
// the interpreter lock held. When this rank still owes an agreement, joins
// it with the failure first; raises the failure again as a Python
// exception, with "rank R failed: " before its message when other ranks
// did not fail.
[[noreturn]] void raise(rank_session& session);

}  // namespace rank_failure
