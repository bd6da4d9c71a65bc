#include "safari-extension/runtime/NSExtensionMain.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <utility>

#include "base/log/Log.h"
#include "platform/extension-runtime/stdio/NativeMessagingHost.h"
#include "safari-extension/runtime/NSExtensionPrincipalClass.h"

namespace platform::extension {

int NSExtensionMain(int argumentCount, char** arguments, NSExtensionPrincipalClass principalClass) {
    // Browsers pass the caller's origin, a manifest path or a parent-window handle; a host
    // serves the same way whoever started it.
    (void)argumentCount;
    (void)arguments;
    const base::Logger logger("extension-runtime", "native-messaging");

    // Standard output carries nothing but frames. Replies go to a private copy of it, and
    // standard output itself is pointed at standard error, so that stray writes of any library
    // land in the log instead of corrupting the stream.
    const int replyOutput = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (replyOutput < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        logger.error("cannot set up standard output for native messaging: %{public}s",
                     {std::string(std::strerror(errno))});
        return 1;
    }
    // A browser that went away shows as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    const NativeMessagingHost host(std::move(principalClass));
    const int status = host.serve(STDIN_FILENO, replyOutput);
    ::close(replyOutput);
    return status;
}

}  // namespace platform::extension
