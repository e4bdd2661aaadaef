#include "FrameLoans.h"

#include <algorithm>
#include <vector>

#include "camera/QuorvexTOFCamera.h"

namespace {

struct Loan {
    const Quorvex::QuorvexFrameBuffer* frame;
    const Quorvex::QuorvexTOFCamera* camera;
    std::uint64_t generation;
};

// A camera lends at most the few frames of its pool, so a short vector
// searched from the front beats a hash table, and once it has grown to the
// most frames ever lent at once no frame allocates.
std::vector<Loan>& loans()
{
    static auto* table = new std::vector<Loan>();
    return *table;
}

std::vector<Loan>::iterator loanOf(const Quorvex::QuorvexFrameBuffer* frame)
{
    auto& table = loans();
    return std::find_if(table.begin(), table.end(), [frame](const Loan& l) { return l.frame == frame; });
}

} // namespace

namespace FrameLoans {

void lend(const Quorvex::QuorvexFrameBuffer* frame, const Quorvex::QuorvexTOFCamera* camera,
          std::uint64_t generation)
{
    if (!frame)
        return;
    const auto it = loanOf(frame);
    if (it != loans().end())
        *it = Loan{frame, camera, generation};
    else
        loans().push_back({frame, camera, generation});
}

bool isLent(const Quorvex::QuorvexFrameBuffer* frame)
{
    // The camera outlives its loans (its destruction ends them), so asking
    // it is safe; a start since the request means the frame is freed.
    const auto it = loanOf(frame);
    return it != loans().end() && it->camera->streamGeneration() == it->generation;
}

void end(const Quorvex::QuorvexFrameBuffer* frame)
{
    const auto it = loanOf(frame);
    if (it == loans().end())
        return;
    *it = loans().back();
    loans().pop_back();
}

void endAll(const Quorvex::QuorvexTOFCamera* camera)
{
    auto& table = loans();
    table.erase(std::remove_if(table.begin(), table.end(), [camera](const Loan& l) { return l.camera == camera; }),
                table.end());
}

} // namespace FrameLoans
