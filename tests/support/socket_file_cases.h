#pragma once
// The socket file of a server that stops cleanly: removed while it is still the one the server
// bound; left alone when another program's socket or a plain file has taken the path meanwhile.
#include <functional>
#include <string>

namespace orvane::test {

// Runs every case: `start` serves at `path` (and returns once it listens), `stop` ends it cleanly.
void expectOwnSocketFileRemovedOnStop(const std::string& path, const std::function<void()>& start,
                                      const std::function<void()>& stop);

}  // namespace orvane::test
