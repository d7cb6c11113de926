#include "lsp/server.hpp"

#include <csignal>

#include "lsp/session.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qern::cli {

int run_language_server(std::istream& in, std::ostream& out) {
    // A client that goes away makes a write fail; the server then ends instead of being
    // killed by the signal.
    std::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
    // Each check of a large document builds and frees tens of megabytes. Returned to the
    // system, they must be faulted in again on the next keystroke, which costs more than
    // the check itself; kept in one arena, they are reused. When a document is closed,
    // the worker gives them back (malloc_trim), so a session's memory follows the
    // documents it has open.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
#endif
    // Reading the input must not flush the output from this thread while the worker
    // writes to it.
    in.tie(nullptr);
    lsp::Session session(in, out);
    return session.run();
}

}  // namespace qern::cli
