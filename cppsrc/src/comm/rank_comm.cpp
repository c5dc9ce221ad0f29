#include "comm/rank_comm.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef KOVRA_WITH_MPI
// The C API only: the deprecated C++ bindings would need their own library.
#define OMPI_SKIP_MPICXX 1
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>
#endif

namespace rank_comm {

namespace {

#ifdef KOVRA_WITH_MPI
// Launchers announce the world in the environment: Open MPI's mpirun, and
// the PMI/PMIx of slurm's srun and of MPICH's Hydra.
bool startedByLauncher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE"})
        if (std::getenv(name)) return true;
    return false;
}

void finaliseAtExit() {
    int finalised = 0;
    MPI_Finalized(&finalised);
    if (!finalised) MPI_Finalize();
}

world_info discover() {
    world_info w;
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (!initialised) {
        if (!startedByLauncher()) return w;
        // Serialized: the run's MPI calls come from one thread at a time,
        // not necessarily the one that initialised.
        int provided = 0;
        if (MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided) != MPI_SUCCESS) return w;
        std::atexit(finaliseAtExit);
    }
    MPI_Comm_rank(MPI_COMM_WORLD, &w.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &w.size);
    MPI_Comm node;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, w.rank, MPI_INFO_NULL, &node);
    MPI_Comm_size(node, &w.nodeRanks);
    MPI_Comm_free(&node);
    return w;
}

// MPI counts are ints: a message of more doubles is refused before it is sent.
int doubleCount(std::size_t doubles) {
    if (doubles > static_cast<std::size_t>(INT_MAX)) throw std::length_error("message too long for one MPI call");
    return static_cast<int>(doubles);
}
#endif

}  // namespace

bool available() {
#ifdef KOVRA_WITH_MPI
    return true;
#else
    return false;
#endif
}

const world_info& world() {
#ifdef KOVRA_WITH_MPI
    static const world_info w = discover();
#else
    static const world_info w;
#endif
    return w;
}

namespace {

#ifdef KOVRA_WITH_MPI
MPI_Datatype mpiType(double) { return MPI_DOUBLE; }
MPI_Datatype mpiType(float) { return MPI_FLOAT; }
#endif

}  // namespace

template <class T>
void exchange(const std::complex<T>* send, std::complex<T>* receive, std::size_t count, int partner) {
#ifdef KOVRA_WITH_MPI
    const int parts = doubleCount(2 * count);
    MPI_Sendrecv(send, parts, mpiType(T{}), partner, 0, receive, parts, mpiType(T{}), partner, 0, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
#else
    (void)partner;
    for (std::size_t k = 0; k < count; ++k) receive[k] = send[k];
#endif
}

template void exchange(const std::complex<double>*, std::complex<double>*, std::size_t, int);
template void exchange(const std::complex<float>*, std::complex<float>*, std::size_t, int);

void sumAll(std::vector<double>& values) {
#ifdef KOVRA_WITH_MPI
    if (world().size > 1)
        MPI_Allreduce(MPI_IN_PLACE, values.data(), doubleCount(values.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
#else
    (void)values;
#endif
}

double maxAll(double value) {
#ifdef KOVRA_WITH_MPI
    if (world().size > 1) MPI_Allreduce(MPI_IN_PLACE, &value, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
#endif
    return value;
}

template <class T>
std::vector<T> gatherAll(const std::vector<T>& local) {
    static_assert(sizeof(T) % sizeof(double) == 0, "gathered in doubles");
    std::vector<T> all(local.size() * static_cast<std::size_t>(world().size));
#ifdef KOVRA_WITH_MPI
    if (world().size > 1) {
        const int doubles = doubleCount(local.size() * sizeof(T) / sizeof(double));
        MPI_Allgather(local.data(), doubles, MPI_DOUBLE, all.data(), doubles, MPI_DOUBLE, MPI_COMM_WORLD);
        return all;
    }
#endif
    std::copy(local.begin(), local.end(), all.begin());
    return all;
}

template std::vector<double> gatherAll(const std::vector<double>&);
template std::vector<std::complex<double>> gatherAll(const std::vector<std::complex<double>>&);
template std::vector<std::complex<float>> gatherAll(const std::vector<std::complex<float>>&);
// Integers travel as the doubles of their bytes: nothing is converted on the way.
template std::vector<std::uint64_t> gatherAll(const std::vector<std::uint64_t>&);

namespace {

// A verdict as it travels: plain bytes of one size on every rank.
struct verdict_record {
    std::uint64_t digest;
    std::uint32_t failed;
    std::uint32_t length;
    char text[kVerdictText];
};

// Exit status of a job ended by abortJob.
constexpr int kAbortStatus = 70;

verdict_record pack(const rank_verdict& verdict) {
    verdict_record record{};
    record.digest = verdict.digest;
    record.failed = verdict.failed ? 1 : 0;
    std::size_t length = std::min(verdict.text.size(), kVerdictText);
    // Never half a character: the text becomes a Python str on every rank.
    if (length < verdict.text.size())
        while (length > 0 && (static_cast<unsigned char>(verdict.text[length]) & 0xc0) == 0x80) --length;
    std::memcpy(record.text, verdict.text.data(), length);
    record.length = static_cast<std::uint32_t>(length);
    return record;
}

}  // namespace

std::vector<rank_verdict> gatherVerdicts(const rank_verdict& mine) {
    std::vector<verdict_record> records(static_cast<std::size_t>(world().size));
    const verdict_record own = pack(mine);
#ifdef KOVRA_WITH_MPI
    if (world().size > 1) {
        MPI_Allgather(&own, sizeof own, MPI_BYTE, records.data(), sizeof own, MPI_BYTE, MPI_COMM_WORLD);
    } else {
        records[0] = own;
    }
#else
    records[0] = own;
#endif
    std::vector<rank_verdict> all;
    for (const verdict_record& r : records)
        all.push_back({r.failed != 0, r.digest, std::string(r.text, std::min<std::size_t>(r.length, kVerdictText))});
    return all;
}

void abortJob(const std::string& message) {
    std::fprintf(stderr, "kovra_backends: rank %d of %d: %s; ending the MPI job\n", world().rank, world().size,
                 message.c_str());
    std::fflush(stderr);
#ifdef KOVRA_WITH_MPI
    if (world().size > 1) MPI_Abort(MPI_COMM_WORLD, kAbortStatus);
#endif
    std::abort();
}

}  // namespace rank_comm
