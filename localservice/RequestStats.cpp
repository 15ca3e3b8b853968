#include "RequestStats.h"

#include "protocol/Wire.h"

#include <cstdio>

namespace vantorix::localservice {

void RequestStats::closeBurstIfQuiet(Clock::time_point now) {
    if (currentBurst_ == 0 || now - lastBatch_ < kBurstGap) return;
    burstSizes_.push_back(currentBurst_);
    if (burstSizes_.size() > kKeptBursts) burstSizes_.pop_front();
    currentBurst_ = 0;
    changed_ = true;
}

void RequestStats::count(const std::string& line, Clock::time_point now) {
    changed_ = true;
    ParsedRequest request = parseRequestLine(line);
    switch (request.kind) {
    case RequestKind::ping: ++pings_; return;
    case RequestKind::syncPath: ++syncPaths_; return;
    case RequestKind::unknown: ++others_; return;
    case RequestKind::batchStatus: break;
    }
    closeBurstIfQuiet(now);
    if (currentBurst_ == 0) ++bursts_;
    ++currentBurst_;
    lastBatch_ = now;
    ++batches_;
    batchPaths_ += static_cast<std::int64_t>(countPieces(request.paths));
}

std::string RequestStats::toJson(Clock::time_point now) {
    closeBurstIfQuiet(now);
    std::string sizes;
    for (std::int64_t size : burstSizes_) sizes += (sizes.empty() ? "" : ",") + std::to_string(size);
    return "{\"ping\":" + std::to_string(pings_) + ",\"sync_path\":" + std::to_string(syncPaths_) + ",\"batch_status\":" + std::to_string(batches_) +
           ",\"batch_paths\":" + std::to_string(batchPaths_) + ",\"other\":" + std::to_string(others_) + ",\"bursts\":" + std::to_string(bursts_) +
           ",\"completed_bursts\":" + std::to_string(bursts_ - (currentBurst_ > 0 ? 1 : 0)) +
           ",\"burst_sizes\":[" + sizes + "]}";
}

bool RequestStats::writeIfChanged(const std::string& path, Clock::time_point now) {
    closeBurstIfQuiet(now);
    if (!changed_) return true;
    std::string text = toJson(now) + "\n";
    std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fclose(file) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) return false;
    changed_ = false;
    return true;
}

}  // namespace vantorix::localservice
