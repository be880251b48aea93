#pragma once

namespace vorn::station {

// The station's program started as a decoding worker (DecodeWorker::kOption):
// makes content prints, measures loudness and scales pictures for the
// station that started it; the process's exit status.
int RunDecodeWorker();

}  // namespace vorn::station
