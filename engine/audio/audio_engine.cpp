#include "engine/audio/audio_engine.h"

#include <new>

namespace clavio {

std::int32_t AudioEngine::loadSample(const std::string& path) {
    std::lock_guard lock(cacheLock);
    if (auto it = sampleCache.find(path); it != sampleCache.end()) {
        return it->second;
    }
    // Loaded under the cache lock, so two callers never decode one file twice.
    const std::int32_t index = _native.loadSampleAtPath(path);
    if (index < 0) {
        return index;
    }
    try {
        sampleCache.emplace(path, index);
    } catch (const std::bad_alloc&) {
        // The sample is loaded; only de-duplication is lost for this path.
    }
    return index;
}

void AudioEngine::unloadAll() {
    {
        std::lock_guard lock(cacheLock);
        sampleCache.clear();
    }
    _native.unloadAllSamples();
}

} // namespace clavio
