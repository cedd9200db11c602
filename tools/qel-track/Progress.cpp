#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "Output.h"

namespace QelTrack {

void Progress::Show(Clock::time_point started)
{
    const uint64_t frames = m_decoded.load();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::string bar;
    if (m_total > 0) {
        const uint64_t filled = std::min<uint64_t>(30, frames * 30 / m_total);
        bar = "[" + std::string(filled, '=') + std::string(30 - filled, ' ') + "] ";
    }
    std::fprintf(Messages(), "\r%s%llu/%llu frames, %.1f fps ", bar.c_str(), static_cast<unsigned long long>(frames),
                 static_cast<unsigned long long>(m_total), seconds > 0 ? frames / seconds : 0.0);
    std::fflush(Messages());
}

}  // namespace QelTrack
