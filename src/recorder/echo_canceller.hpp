#pragma once

#include <cstdint>
#include <vector>

namespace sayloft::recorder {

// Removes from the microphone signal whatever is predictable from the system-audio signal
// (the reference). A partitioned-block frequency-domain adaptive filter with a foreground filter
// that produces the output and a background filter that adapts, take-over, divergence and
// misadjustment detection, a band-wise echo-leakage estimate that sets the adaptation step and a
// spectral residual-echo suppressor.
//
// Single-threaded. Everything is allocated at creation; `process` never allocates. The output lags
// the input by exactly 2 × blockSize() samples.
class EchoCanceller {
  public:
    struct Diagnostics {
        int64_t farEndActiveBlocks = 0;
        int64_t foregroundUpdates = 0;  // take-overs
        int64_t backgroundResets = 0;   // background restarts
        int64_t divergenceResets = 0;
        int64_t relearns = 0;
        float leakage = 1.0f;
        float erleDB = 0.0f;
        bool adapted = false;
    };

    // Values fixed at creation, derived from the set-up rate.
    struct Setup {
        double sampleRate = 0;  // as given
        double setupRate = 0;   // the rate the values below were computed for
        int blockSize = 0;      // N
        int m = 0;              // FFT size, 2N
        int bins = 0;           // N + 1
        int log2m = 0;
        int partitions = 0;  // P
        int bandCount = 0;   // B
        float residualDecay = 0;
        int adaptedAfterBlocks = 0;
        int divergedAfterBlocks = 0;
        float misadjustedSmoothing = 0;
        float correlationSmoothing = 0;
        float estimateFloor = 0;
        float energyFloor = 0;
        float levelRelease = 0;
        float leakageRise = 0;
    };

    // Test hook: build without a transform, as when none can be created.
    struct WithoutFft {};

    explicit EchoCanceller(double sampleRate);
    EchoCanceller(double sampleRate, WithoutFft);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Feeds `frames` samples of microphone and reference and writes as many cleaned microphone
    // samples, 2N samples late. Any chunk size works; the result does not depend on it.
    void process(const float* mic, const float* reference, float* output, int frames);

    // Forgets all signal history, filters, statistics and diagnostics.
    void resetState();

    const Diagnostics& diagnostics() const { return diag_; }
    const Setup& setup() const { return setup_; }
    double sampleRate() const { return setup_.sampleRate; }
    int blockSize() const { return setup_.blockSize; }
    int latency() const { return 2 * setup_.blockSize; }
    bool hasFft() const { return fwdPlan_ != nullptr; }

    // First bin of each band, bandCount()+1 entries (the last one is N + 1).
    const std::vector<int>& bandFirst() const { return bandFirst_; }

  private:
    void init(double sampleRate, bool withFft);
    float* alloc(int count);
    void processBlock();
    void forward(const float* time, float* re, float* im);
    void inverse(const float* re, const float* im, float* time);
    void powers(const float* re, const float* im, float* pow) const;
    void echoEstimate();
    void copyBackgroundToForeground();
    void dropFilters();
    void resetLeakage();
    void recoverFromNonFinite();
    void analyseOutput();
    void updateLeakage();
    void adaptBackground();
    void suppressResidual();
    void scaleBins();

    Setup setup_;
    int n_ = 0, m_ = 0, bins_ = 0, p_ = 0, bands_ = 0;
    void* fwdPlan_ = nullptr;    // fftwf_plan, real to packed complex
    void* invPlan_ = nullptr;    // fftwf_plan, packed complex to real
    float* spectrum_ = nullptr;  // interleaved complex scratch for the transforms, N + 1 pairs
    float* fftTime_ = nullptr;   // aligned time scratch of m for the transforms

    std::vector<float*> buffers_;
    std::vector<int> bandOf_, bandBins_, bandFirst_;
    float *ramp_, *window_;

    float *micBlock_, *refBlock_, *outBlock_, *refPrev_, *micPrev_;
    int fill_ = 0;
    float *xRe_, *xIm_, *xPow_;
    int head_ = 0;
    float* norm_;
    float *fgRe_, *fgIm_, *bgRe_, *bgIm_;
    float *timeA_, *timeB_;
    float *accRe_, *accIm_, *errRe_, *errIm_, *gradRe_, *gradIm_;
    float *yFg_, *yBg_, *eFg_, *eBg_, *eOut_, *yOut_, *eLin_, *eLinPrev_, *ePrevOut_, *yPrevOut_,
        *olaTail_;
    float *stepScale_, *binA_, *binB_, *binC_, *pyBg_, *peBg_, *pwL_, *pwE_, *pwY_, *residual_,
        *gain_, *gainPrev_, *pePrev_;
    float *wRe_, *wIm_, *vRe_, *vIm_, *lRe_, *lIm_;
    float *bandE_, *bandY_, *bandLeak_, *bandStep_, *sumA_, *sumB_, *sumC_, *bandSey_, *bandSyy_,
        *bandSee_;

    bool errorFollowsEstimate_ = false;
    float totalE_ = 0, totalY_ = 0, totalLeak_ = 1;
    float sMic_ = 0, sFg_ = 0, sBg_ = 0;
    int divergedCount_ = 0;
    float misadjustedRecently_ = 0;
    float backOff_ = 0, backOffBlock_ = 0, backOffBlockPrev_ = 0;
    float micLevel_ = 0;
    float erleMic_ = 0, erleOut_ = 0;
    bool adapted_ = false;
    int64_t activeSinceReset_ = 0;
    int64_t takeOversSinceReset_ = 0;
    Diagnostics diag_;
};

}  // namespace sayloft::recorder
