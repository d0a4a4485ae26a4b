#include "recorder/echo_canceller.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace sayloft::recorder {

namespace {

// The FFTW planner is not thread-safe; executing plans is.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

// The hottest loops get an AVX2 build too, picked at load time; element-wise arithmetic gives the
// same results in either. Not under ThreadSanitizer: the loader runs the picker before the
// sanitizer's runtime is set up, and the instrumented picker then crashes the program at start.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define SAYLOFT_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SAYLOFT_VECTOR_CLONES
#endif

constexpr double kBandEdges[] = {300, 600, 1000, 1500, 2000, 3000, 4000, 5500, 7000, 9000, 12000};

// Sum of squares with eight independent partial sums so that the loop vectorises without
// reassociating float arithmetic behind the compiler's back. n is a multiple of 8.
float energy(const float* __restrict x, int n) {
    float acc[8] = {};
    for (int i = 0; i < n; i += 8)
        for (int k = 0; k < 8; ++k) acc[k] += x[i + k] * x[i + k];
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

float sum(const float* __restrict x, int n) {
    float acc[8] = {};
    int i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k) acc[k] += x[i + k];
    float s = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    for (; i < n; ++i) s += x[i];
    return s;
}

void copy(float* __restrict dst, const float* __restrict src, int n) {
    std::memcpy(dst, src, sizeof(float) * static_cast<size_t>(n));
}

void clear(float* dst, int n) {
    std::memset(dst, 0, sizeof(float) * static_cast<size_t>(n));
}

void fill(float* dst, float value, int n) {
    std::fill(dst, dst + n, value);
}

// dst = a * window[0..n) for the first half and b * window[n..2n) for the second.
void windowPair(float* __restrict dst, const float* __restrict a, const float* __restrict b,
                const float* __restrict window, int n) {
    for (int i = 0; i < n; ++i) dst[i] = a[i] * window[i];
    for (int i = 0; i < n; ++i) dst[n + i] = b[i] * window[n + i];
}

// acc1 += w1 * x and acc2 += w2 * x, complex, element-wise.
SAYLOFT_VECTOR_CLONES
void multiplyAccumulate2(float* __restrict a1r, float* __restrict a1i, float* __restrict a2r,
                         float* __restrict a2i, const float* __restrict xr,
                         const float* __restrict xi, const float* __restrict w1r,
                         const float* __restrict w1i, const float* __restrict w2r,
                         const float* __restrict w2i, int n) {
    for (int k = 0; k < n; ++k) {
        const float a = xr[k], b = xi[k];
        a1r[k] += w1r[k] * a - w1i[k] * b;
        a1i[k] += w1r[k] * b + w1i[k] * a;
        a2r[k] += w2r[k] * a - w2i[k] * b;
        a2i[k] += w2r[k] * b + w2i[k] * a;
    }
}

// out (interleaved) = conj(x) * e * step * scale, element-wise.
SAYLOFT_VECTOR_CLONES
void conjugateMultiplyInterleaved(float* __restrict out, const float* __restrict xr,
                                  const float* __restrict xi, const float* __restrict er,
                                  const float* __restrict ei, const float* __restrict step,
                                  float scale, int n) {
    for (int k = 0; k < n; ++k) {
        const float sc = step[k] * scale;
        out[2 * k] = (xr[k] * er[k] + xi[k] * ei[k]) * sc;
        out[2 * k + 1] = (xr[k] * ei[k] - xi[k] * er[k]) * sc;
    }
}

// w = lambda * w + g, with g interleaved.
SAYLOFT_VECTOR_CLONES
void leakyAddInterleaved(float* __restrict wr, float* __restrict wi, const float* __restrict g,
                         float lambda, int n) {
    for (int k = 0; k < n; ++k) {
        wr[k] = lambda * wr[k] + g[2 * k];
        wi[k] = lambda * wi[k] + g[2 * k + 1];
    }
}

// Per bin 0..N of two packed spectra: Re(a * conj(b)); DC and Nyquist from the packed places.
// With a == b these are the powers.
void crossPowers(const float* __restrict ar, const float* __restrict ai, const float* __restrict br,
                 const float* __restrict bi, float* __restrict out, int n) {
    for (int k = 0; k < n; ++k) out[k] = ar[k] * br[k] + ai[k] * bi[k];
    out[0] = ar[0] * br[0];
    out[n] = ai[0] * bi[0];
}

float clampf(float v, float lo, float hi) {
    return std::min(std::max(v, lo), hi);
}

// Temporarily flushes denormals to zero: decaying filters and tails would otherwise crawl.
class DenormalGuard {
  public:
#if defined(__SSE__)
    DenormalGuard() : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | 0x8040u);
    }
    ~DenormalGuard() {
        _mm_setcsr(saved_);
    }

  private:
    unsigned saved_;
#endif
};

}  // namespace

EchoCanceller::EchoCanceller(double sampleRate) {
    init(sampleRate, true);
}

EchoCanceller::EchoCanceller(double sampleRate, WithoutFft) {
    init(sampleRate, false);
}

EchoCanceller::~EchoCanceller() {
    {
        std::lock_guard lock(plannerMutex());
        if (fwdPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(fwdPlan_));
        if (invPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(invPlan_));
    }
    for (float* b : buffers_) fftwf_free(b);
}

float* EchoCanceller::alloc(int count) {
    auto* p = static_cast<float*>(fftwf_malloc(sizeof(float) * static_cast<size_t>(count)));
    if (!p) throw std::bad_alloc();
    std::memset(p, 0, sizeof(float) * static_cast<size_t>(count));
    buffers_.push_back(p);
    return p;
}

void EchoCanceller::init(double sampleRate, bool withFft) {
    // Set-up in double precision, stored as float.
    const double r = (std::isfinite(sampleRate) && sampleRate >= 4000.0) ? sampleRate : 48000.0;
    const int k = std::clamp(static_cast<int>(std::round(std::log2(r * 0.01))), 6, 12);
    const int n = 1 << k;
    const double t = n / r;
    setup_.sampleRate = sampleRate;
    setup_.setupRate = r;
    setup_.blockSize = n;
    setup_.m = 2 * n;
    setup_.bins = n + 1;
    setup_.log2m = k + 1;
    setup_.partitions = std::max(1, static_cast<int>(std::ceil(r * 0.3 / n)));
    setup_.residualDecay = static_cast<float>(std::pow(10.0, -24.0 * t));
    setup_.adaptedAfterBlocks = std::max(1, static_cast<int>(std::trunc(0.5 / t)));
    setup_.divergedAfterBlocks = std::max(2, static_cast<int>(std::round(0.2 / t)));
    setup_.misadjustedSmoothing = static_cast<float>(1.0 - std::exp(-2.0 * t));
    setup_.correlationSmoothing = static_cast<float>(1.0 - std::exp(-t / 0.1));
    setup_.estimateFloor = static_cast<float>(n * 1e-8 * (n + 1));
    setup_.energyFloor = static_cast<float>(n * 1e-10);
    setup_.levelRelease = static_cast<float>(1.0 - std::exp(-t / 3.0));
    setup_.leakageRise = static_cast<float>(std::pow(10.0, 0.3 * t));
    int edgesBelow = 0;
    for (double edge : kBandEdges)
        if (edge < r / 2) ++edgesBelow;
    setup_.bandCount = edgesBelow + 1;

    n_ = n;
    m_ = 2 * n;
    bins_ = n + 1;
    p_ = setup_.partitions;
    bands_ = setup_.bandCount;

    // Bands: bin j lies at j * r / m Hz and belongs to the first band whose upper edge is above.
    bandOf_.assign(static_cast<size_t>(bins_), bands_ - 1);
    bandBins_.assign(static_cast<size_t>(bands_), 0);
    bandFirst_.assign(static_cast<size_t>(bands_ + 1), 0);
    for (int j = 0; j < bins_; ++j) {
        const double freq = j * r / m_;
        for (int b = 0; b < bands_ - 1; ++b) {
            if (kBandEdges[b] > freq) {
                bandOf_[static_cast<size_t>(j)] = b;
                break;
            }
        }
        ++bandBins_[static_cast<size_t>(bandOf_[static_cast<size_t>(j)])];
    }
    for (int b = 0; b < bands_; ++b)
        bandFirst_[static_cast<size_t>(b + 1)] =
            bandFirst_[static_cast<size_t>(b)] + bandBins_[static_cast<size_t>(b)];

    ramp_ = alloc(n);
    window_ = alloc(m_);
    for (int i = 0; i < n; ++i)
        ramp_[i] = static_cast<float>(0.5 - 0.5 * std::cos(M_PI * (i + 0.5) / n));
    for (int i = 0; i < m_; ++i)
        window_[i] = static_cast<float>(std::sqrt(0.5 - 0.5 * std::cos(2.0 * M_PI * i / m_)));

    micBlock_ = alloc(n);
    refBlock_ = alloc(n);
    outBlock_ = alloc(n);
    refPrev_ = alloc(n);
    micPrev_ = alloc(n);
    xRe_ = alloc(p_ * n);
    xIm_ = alloc(p_ * n);
    xPow_ = alloc(p_ * bins_);
    norm_ = alloc(bins_);
    fgRe_ = alloc(p_ * n);
    fgIm_ = alloc(p_ * n);
    bgRe_ = alloc(p_ * n);
    bgIm_ = alloc(p_ * n);
    timeA_ = alloc(m_);
    timeB_ = alloc(m_);
    for (float** a :
         {&accRe_,   &accIm_, &errRe_, &errIm_, &gradRe_, &gradIm_,   &yFg_,      &yBg_,
          &eFg_,     &eBg_,   &eOut_,  &yOut_,  &eLin_,   &eLinPrev_, &ePrevOut_, &yPrevOut_,
          &olaTail_, &wRe_,   &wIm_,   &vRe_,   &vIm_,    &lRe_,      &lIm_})
        *a = alloc(n);
    for (float** a : {&stepScale_, &binA_, &binB_, &binC_, &pyBg_, &peBg_, &pwL_, &pwE_, &pwY_,
                      &residual_, &gain_, &gainPrev_, &pePrev_})
        *a = alloc(bins_);
    for (float** a : {&bandE_, &bandY_, &bandLeak_, &bandStep_, &sumA_, &sumB_, &sumC_, &bandSey_,
                      &bandSyy_, &bandSee_})
        *a = alloc(bands_);
    spectrum_ = alloc(2 * bins_);
    fftTime_ = alloc(m_);

    if (withFft) {
        std::lock_guard lock(plannerMutex());
        auto* spectrum = reinterpret_cast<fftwf_complex*>(spectrum_);
        fwdPlan_ = fftwf_plan_dft_r2c_1d(m_, fftTime_, spectrum, FFTW_MEASURE);
        invPlan_ = fftwf_plan_dft_c2r_1d(m_, spectrum, fftTime_, FFTW_MEASURE);
        if (!fwdPlan_ || !invPlan_) {
            if (fwdPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(fwdPlan_));
            if (invPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(invPlan_));
            fwdPlan_ = invPlan_ = nullptr;
        }
    }
    resetState();
}

void EchoCanceller::resetState() {
    for (float* b : {micBlock_, refBlock_, outBlock_, refPrev_, micPrev_}) clear(b, n_);
    for (float* b : {xRe_, xIm_, fgRe_, fgIm_, bgRe_, bgIm_}) clear(b, p_ * n_);
    clear(xPow_, p_ * bins_);
    clear(timeA_, m_);
    clear(timeB_, m_);
    for (float* b : {accRe_,   accIm_, errRe_, errIm_, gradRe_, gradIm_,   yFg_,      yBg_,
                     eFg_,     eBg_,   eOut_,  yOut_,  eLin_,   eLinPrev_, ePrevOut_, yPrevOut_,
                     olaTail_, wRe_,   wIm_,   vRe_,   vIm_,    lRe_,      lIm_})
        clear(b, n_);
    for (float* b : {norm_, stepScale_, binA_, binB_, binC_, pyBg_, peBg_, pwL_, pwE_, pwY_,
                     residual_, pePrev_})
        clear(b, bins_);
    fill(gain_, 1.0f, bins_);
    fill(gainPrev_, 1.0f, bins_);
    for (float* b : {bandE_, bandY_, bandStep_, sumA_, sumB_, sumC_, bandSey_, bandSyy_, bandSee_})
        clear(b, bands_);
    fill(bandLeak_, 1.0f, bands_);
    head_ = 0;
    fill_ = 0;
    errorFollowsEstimate_ = false;
    totalE_ = totalY_ = 0;
    totalLeak_ = 1;
    sMic_ = sFg_ = sBg_ = 0;
    divergedCount_ = 0;
    misadjustedRecently_ = 0;
    backOff_ = backOffBlock_ = backOffBlockPrev_ = 0;
    micLevel_ = 0;
    erleMic_ = erleOut_ = 0;
    adapted_ = false;
    activeSinceReset_ = 0;
    takeOversSinceReset_ = 0;
    diag_ = Diagnostics{};
}

void EchoCanceller::process(const float* mic, const float* reference, float* output, int frames) {
    DenormalGuard guard;
    int done = 0;
    while (done < frames) {
        const int take = std::min(n_ - fill_, frames - done);
        copy(micBlock_ + fill_, mic + done, take);
        copy(refBlock_ + fill_, reference + done, take);
        copy(output + done, outBlock_ + fill_, take);
        fill_ += take;
        done += take;
        if (fill_ == n_) {
            processBlock();
            fill_ = 0;
        }
    }
}

// ---- transforms -------------------------------------------------------------------------------

// Plain DFT of m samples into the packed form: re[0] = DC, im[0] = Nyquist.
void EchoCanceller::forward(const float* time, float* re, float* im) {
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(fwdPlan_), const_cast<float*>(time),
                          reinterpret_cast<fftwf_complex*>(spectrum_));
    const float* __restrict s = spectrum_;
    float* __restrict r = re;
    float* __restrict i = im;
    for (int k = 0; k < n_; ++k) {
        r[k] = s[2 * k];
        i[k] = s[2 * k + 1];
    }
    i[0] = s[2 * n_];
}

// Exact inverse of `forward`, including the 1/m factor.
void EchoCanceller::inverse(const float* re, const float* im, float* time) {
    float* __restrict s = spectrum_;
    for (int k = 0; k < n_; ++k) {
        s[2 * k] = re[k];
        s[2 * k + 1] = im[k];
    }
    s[1] = 0;
    s[2 * n_] = im[0];
    s[2 * n_ + 1] = 0;
    fftwf_execute_dft_c2r(static_cast<fftwf_plan>(invPlan_), reinterpret_cast<fftwf_complex*>(s),
                          time);
    const float scale = 1.0f / static_cast<float>(m_);
    float* __restrict t = time;
    for (int i = 0; i < m_; ++i) t[i] *= scale;
}

void EchoCanceller::powers(const float* re, const float* im, float* pow) const {
    crossPowers(re, im, re, im, pow, n_);
}

// ---- block processing -------------------------------------------------------------------------

void EchoCanceller::processBlock() {
    const int n = n_;
    if (!fwdPlan_) {
        copy(outBlock_, micPrev_, n);
        copy(micPrev_, micBlock_, n);
        return;
    }

    // Reference spectrum of the newest two blocks into the history ring.
    copy(timeA_, refPrev_, n);
    copy(timeA_ + n, refBlock_, n);
    copy(refPrev_, refBlock_, n);
    head_ = (head_ + 1) % p_;
    float* xr = xRe_ + static_cast<size_t>(head_) * n;
    float* xi = xIm_ + static_cast<size_t>(head_) * n;
    forward(timeA_, xr, xi);
    powers(xr, xi, xPow_ + static_cast<size_t>(head_) * bins_);

    // Reference power summed over the filter length.
    {
        float* __restrict nm = norm_;
        copy(nm, xPow_, bins_);
        for (int p = 1; p < p_; ++p) {
            const float* __restrict xp = xPow_ + static_cast<size_t>(p) * bins_;
            for (int j = 0; j < bins_; ++j) nm[j] += xp[j];
        }
        for (int j = 0; j < bins_; ++j) nm[j] *= 0.5f;
    }

    // Block energies.
    const float refE = energy(refBlock_, n);
    const float micE = energy(micBlock_, n);
    const bool active = refE > static_cast<float>(n) * 1e-6f;

    // Echo estimates of both filters and their errors.
    echoEstimate();
    float eFgE, eBgE;
    {
        const float* __restrict mic = micBlock_;
        float* __restrict ef = eFg_;
        float* __restrict eb = eBg_;
        for (int i = 0; i < n; ++i) {
            ef[i] = mic[i] - yFg_[i];
            eb[i] = mic[i] - yBg_[i];
        }
        eFgE = energy(eFg_, n);
        eBgE = energy(eBg_, n);
    }

    // Anything non-finite: start afresh.
    if (!std::isfinite(eFgE) || !std::isfinite(eBgE) || !std::isfinite(refE) ||
        !std::isfinite(micE)) {
        recoverFromNonFinite();
        return;
    }

    // Smoothed energies and the microphone level.
    sMic_ += 0.2f * (micE - sMic_);
    sFg_ += 0.2f * (eFgE - sFg_);
    sBg_ += 0.2f * (eBgE - sBg_);
    micLevel_ += (micE - micLevel_) * (micE > micLevel_ ? 0.3f : setup_.levelRelease);
    const float floorLevel = setup_.energyFloor + 0.1f * micLevel_;

    // Divergence count.
    if (eFgE > 2.0f * micE + floorLevel)
        ++divergedCount_;
    else if (divergedCount_ > 0)
        --divergedCount_;

    // Choose the output error.
    const float* ramp = ramp_;
    auto takeOver = [&] {
        copyBackgroundToForeground();
        sFg_ = sBg_;
        for (int i = 0; i < n; ++i) eOut_[i] = eFg_[i] + ramp[i] * (eBg_[i] - eFg_[i]);
    };
    if (divergedCount_ >= setup_.divergedAfterBlocks) {
        divergedCount_ = 0;
        if (eBgE < micE && sBg_ < sMic_) {
            takeOver();
        } else {
            dropFilters();
            ++diag_.divergenceResets;
            sFg_ = sBg_ = sMic_;
            copy(eBg_, micBlock_, n);
            clear(yBg_, n);
            for (int i = 0; i < n; ++i) eOut_[i] = eFg_[i] + ramp[i] * (micBlock_[i] - eFg_[i]);
        }
    } else if (eBgE < eFgE && active && sBg_ < 0.8f * sFg_) {
        takeOver();
    } else {
        if (sBg_ > 4.0f * sFg_ + floorLevel) {
            copy(bgRe_, fgRe_, p_ * n);
            copy(bgIm_, fgIm_, p_ * n);
            copy(eBg_, eFg_, n);
            copy(yBg_, yFg_, n);
            sBg_ = sFg_;
            ++diag_.backgroundResets;
        }
        copy(eOut_, eFg_, n);
    }

    // Echo removed, and the linear output before any back-off.
    for (int i = 0; i < n; ++i) yOut_[i] = micBlock_[i] - eOut_[i];
    copy(eLin_, eOut_, n);
    const float outE = energy(eOut_, n);

    // Never output more than the microphone: back off to it.
    const float flag = outE > micE + setup_.energyFloor ? 1.0f : 0.0f;
    backOffBlockPrev_ = backOffBlock_;
    backOffBlock_ = 0;
    if (backOff_ > 0 || flag == 1.0f) {
        const float b0 = backOff_, db = flag - backOff_;
        float* __restrict e = eOut_;
        const float* __restrict mic = micBlock_;
        for (int i = 0; i < n; ++i) e[i] += (b0 + db * ramp[i]) * (mic[i] - e[i]);
        backOffBlock_ = (flag + backOff_) / 2.0f;
        backOff_ = flag;
    }

    // Misadjustment: the output keeps exceeding the microphone, or the error keeps following the
    // echo estimate. Learn the leakage again, keeping the filters.
    if (!active) errorFollowsEstimate_ = false;
    const float now = (outE > micE + floorLevel || errorFollowsEstimate_) ? 1.0f : 0.0f;
    misadjustedRecently_ += setup_.misadjustedSmoothing * (now - misadjustedRecently_);
    if (adapted_ && misadjustedRecently_ > 0.3f) {
        adapted_ = false;
        misadjustedRecently_ = 0;
        activeSinceReset_ = takeOversSinceReset_ = 0;
        resetLeakage();
        ++diag_.relearns;
    }

    // Statistics and adaptation while the far end talks.
    if (active) {
        ++diag_.farEndActiveBlocks;
        ++activeSinceReset_;
        const float outE2 = energy(eOut_, n);
        erleMic_ += 0.05f * (micE - erleMic_);
        erleOut_ += 0.05f * (outE2 - erleOut_);
        if (erleMic_ > 0 && erleOut_ > 0) diag_.erleDB = 10.0f * std::log10(erleMic_ / erleOut_);
        if (!adapted_ && takeOversSinceReset_ >= 1 &&
            activeSinceReset_ >= setup_.adaptedAfterBlocks && 2.0f * erleOut_ < erleMic_)
            adapted_ = true;
        analyseOutput();
        updateLeakage();
        adaptBackground();
    } else {
        analyseOutput();
    }

    // Publish the state, suppress the residual echo, and make sure what leaves is finite.
    diag_.adapted = adapted_;
    diag_.leakage = totalLeak_;
    suppressResidual();
    if (std::isfinite(energy(outBlock_, n)))
        copy(micPrev_, micBlock_, n);
    else
        recoverFromNonFinite();
}

void EchoCanceller::echoEstimate() {
    const int n = n_;
    float* __restrict afr = accRe_;
    float* __restrict afi = accIm_;
    float* __restrict abr = gradRe_;
    float* __restrict abi = gradIm_;
    clear(afr, n);
    clear(afi, n);
    clear(abr, n);
    clear(abi, n);
    float dcF = 0, nyF = 0, dcB = 0, nyB = 0;
    for (int p = 0; p < p_; ++p) {
        const int q = (head_ - p + p_) % p_;
        const float* __restrict xr = xRe_ + static_cast<size_t>(q) * n;
        const float* __restrict xi = xIm_ + static_cast<size_t>(q) * n;
        const float* __restrict fr = fgRe_ + static_cast<size_t>(p) * n;
        const float* __restrict fi = fgIm_ + static_cast<size_t>(p) * n;
        const float* __restrict br = bgRe_ + static_cast<size_t>(p) * n;
        const float* __restrict bi = bgIm_ + static_cast<size_t>(p) * n;
        multiplyAccumulate2(afr, afi, abr, abi, xr, xi, fr, fi, br, bi, n);
        dcF += fr[0] * xr[0];
        nyF += fi[0] * xi[0];
        dcB += br[0] * xr[0];
        nyB += bi[0] * xi[0];
    }
    afr[0] = dcF;
    afi[0] = nyF;
    abr[0] = dcB;
    abi[0] = nyB;
    // Overlap-save: the last N samples of the inverse are the linear convolution.
    inverse(afr, afi, timeA_);
    copy(yFg_, timeA_ + n, n);
    inverse(abr, abi, timeB_);
    copy(yBg_, timeB_ + n, n);
}

void EchoCanceller::copyBackgroundToForeground() {
    copy(fgRe_, bgRe_, p_ * n_);
    copy(fgIm_, bgIm_, p_ * n_);
    ++diag_.foregroundUpdates;
    ++takeOversSinceReset_;
}

void EchoCanceller::dropFilters() {
    for (float* b : {fgRe_, fgIm_, bgRe_, bgIm_}) clear(b, p_ * n_);
    adapted_ = false;
    activeSinceReset_ = takeOversSinceReset_ = 0;
    resetLeakage();
}

void EchoCanceller::resetLeakage() {
    fill(bandLeak_, 1.0f, bands_);
    clear(bandE_, bands_);
    clear(bandY_, bands_);
    totalE_ = totalY_ = 0;
    totalLeak_ = 1;
}

void EchoCanceller::recoverFromNonFinite() {
    const int n = n_;
    // The outer buffers are free here: the reference window and the analysis scratch.
    copy(fftTime_, micPrev_, n);
    copy(fftTime_ + n, micBlock_, n);
    const Diagnostics kept = diag_;
    resetState();
    copy(outBlock_, fftTime_, n);
    copy(micPrev_, fftTime_ + n, n);
    diag_.farEndActiveBlocks = kept.farEndActiveBlocks;
    diag_.foregroundUpdates = kept.foregroundUpdates;
    diag_.backgroundResets = kept.backgroundResets;
    diag_.divergenceResets = kept.divergenceResets + 1;
    diag_.relearns = kept.relearns;
    diag_.erleDB = kept.erleDB;
    diag_.leakage = 1.0f;
    diag_.adapted = false;
}

void EchoCanceller::analyseOutput() {
    const int n = n_;
    windowPair(timeA_, ePrevOut_, eOut_, window_, n);
    windowPair(timeB_, yPrevOut_, yOut_, window_, n);
    copy(ePrevOut_, eOut_, n);
    copy(yPrevOut_, yOut_, n);
    forward(timeA_, wRe_, wIm_);
    powers(wRe_, wIm_, pwE_);
    forward(timeB_, vRe_, vIm_);
    powers(vRe_, vIm_, pwY_);
    if (backOffBlock_ == 0 && backOffBlockPrev_ == 0) {
        copy(pwL_, pwE_, bins_);
    } else {
        windowPair(timeA_, eLinPrev_, eLin_, window_, n);
        forward(timeA_, lRe_, lIm_);
        powers(lRe_, lIm_, pwL_);
    }
    copy(eLinPrev_, eLin_, n);
}

void EchoCanceller::updateLeakage() {
    const float nf = static_cast<float>(n_);
    float allA = 0, allB = 0;
    for (int b = 0; b < bands_; ++b) {
        const int first = bandFirst_[static_cast<size_t>(b)];
        const int count = bandBins_[static_cast<size_t>(b)];
        sumA_[b] = sum(pwL_ + first, count);
        sumB_[b] = sum(pwY_ + first, count);
        allA += sumA_[b];
        allB += sumB_[b];
        bandE_[b] += 0.3f * (sumA_[b] - bandE_[b]);
        bandY_[b] += 0.3f * (sumB_[b] - bandY_[b]);
        if (bandY_[b] > nf * 1e-8f * static_cast<float>(count))
            bandLeak_[b] = clampf(
                std::min(bandLeak_[b] * setup_.leakageRise, bandE_[b] / bandY_[b]), 0.0001f, 1.0f);
    }
    totalE_ += 0.3f * (allA - totalE_);
    totalY_ += 0.3f * (allB - totalY_);
    if (totalY_ > nf * 1e-8f * static_cast<float>(bins_))
        totalLeak_ =
            clampf(std::min(totalLeak_ * setup_.leakageRise, totalE_ / totalY_), 0.0001f, 1.0f);
}

void EchoCanceller::adaptBackground() {
    const int n = n_;
    // Error spectrum of the block, zero-padded in front.
    clear(timeA_, n);
    copy(timeA_ + n, eBg_, n);
    forward(timeA_, errRe_, errIm_);

    // Band steps from the leakage and the echo-to-error ratio of the background.
    if (adapted_) {
        clear(timeB_, n);
        copy(timeB_ + n, yBg_, n);
        forward(timeB_, gradRe_, gradIm_);
        powers(gradRe_, gradIm_, binA_);
        powers(errRe_, errIm_, binB_);
        {
            crossPowers(errRe_, errIm_, gradRe_, gradIm_, binC_, n);
            float* __restrict py = pyBg_;
            float* __restrict pe = peBg_;
            const float* __restrict a = binA_;
            const float* __restrict b = binB_;
            for (int j = 0; j < bins_; ++j) {
                py[j] += 0.3f * (a[j] - py[j]);
                pe[j] += 0.3f * (b[j] - pe[j]);
            }
        }
        const float cs = setup_.correlationSmoothing;
        float num = 0, den = 0;
        for (int b = 0; b < bands_; ++b) {
            const int first = bandFirst_[static_cast<size_t>(b)];
            const int count = bandBins_[static_cast<size_t>(b)];
            sumA_[b] = sum(pyBg_ + first, count);
            sumB_[b] = sum(peBg_ + first, count);
            sumC_[b] = sum(binC_ + first, count);
            bandSey_[b] += cs * (sumC_[b] - bandSey_[b]);
            bandSyy_[b] += cs * (sum(binA_ + first, count) - bandSyy_[b]);
            bandSee_[b] += cs * (sum(binB_ + first, count) - bandSee_[b]);
            if (bandSyy_[b] > 0) num += bandSey_[b] * bandSey_[b] / bandSyy_[b];
            den += bandSee_[b];
            bandStep_[b] = std::min(bandLeak_[b] * sumA_[b] / (sumB_[b] + 1e-20f), 0.3f);
        }
        errorFollowsEstimate_ = num > 0.85f * den && den > setup_.estimateFloor;
    } else {
        fill(bandStep_, 0.3f, bands_);
        clear(bandSey_, bands_);
        clear(bandSyy_, bands_);
        clear(bandSee_, bands_);
        errorFollowsEstimate_ = false;
    }

    // Per-bin step, normalised by the reference power, and the weight leakage.
    const float meanNorm = sum(norm_, bins_) / static_cast<float>(bins_);
    const float base = static_cast<float>(p_) * static_cast<float>(n) * 1e-8f + 0.01f * meanNorm;
    float stepSum = 0;
    for (int b = 0; b < bands_; ++b) {
        const int first = bandFirst_[static_cast<size_t>(b)];
        const int end = bandFirst_[static_cast<size_t>(b + 1)];
        const float step = bandStep_[b];
        for (int j = first; j < end; ++j) stepScale_[j] = step / (base + norm_[j]);
        stepSum += step * static_cast<float>(end - first);
    }
    const float lambda = 1.0f - 1e-5f * (stepSum / static_cast<float>(bins_));

    // Constrained gradient step per partition. The 1/m of the inverse rides on the step.
    const float invM = 1.0f / static_cast<float>(m_);
    const float* __restrict er = errRe_;
    const float* __restrict ei = errIm_;
    const float* __restrict st = stepScale_;
    auto fwd = static_cast<fftwf_plan>(fwdPlan_);
    auto inv = static_cast<fftwf_plan>(invPlan_);
    auto* spectrum = reinterpret_cast<fftwf_complex*>(spectrum_);
    for (int p = 0; p < p_; ++p) {
        const int q = (head_ - p + p_) % p_;
        const float* __restrict xr = xRe_ + static_cast<size_t>(q) * n;
        const float* __restrict xi = xIm_ + static_cast<size_t>(q) * n;
        float* __restrict s = spectrum_;
        conjugateMultiplyInterleaved(s, xr, xi, er, ei, st, invM, n);
        s[0] = xr[0] * er[0] * (st[0] * invM);
        s[1] = 0;
        s[2 * n] = xi[0] * ei[0] * (st[n] * invM);
        s[2 * n + 1] = 0;
        // Keep only a causal N-tap filter: zero the second half of its impulse response.
        fftwf_execute_dft_c2r(inv, spectrum, fftTime_);
        clear(fftTime_ + n, n);
        fftwf_execute_dft_r2c(fwd, fftTime_, spectrum);
        float* __restrict wr = bgRe_ + static_cast<size_t>(p) * n;
        float* __restrict wi = bgIm_ + static_cast<size_t>(p) * n;
        const float nyquist = s[2 * n];
        const float imDc = wi[0];
        leakyAddInterleaved(wr, wi, s, lambda, n);
        wi[0] = lambda * imDc + nyquist;
    }
}

void EchoCanceller::suppressResidual() {
    const int n = n_;
    const float blend = (backOffBlock_ + backOffBlockPrev_) / 2.0f;
    // Per-bin over-estimation factor of the residual echo, from its band's leakage.
    for (int b = 0; b < bands_; ++b) {
        const float factor = blend + (1.0f - blend) * 4.0f * bandLeak_[b];
        fill(binB_ + bandFirst_[static_cast<size_t>(b)], factor, bandBins_[static_cast<size_t>(b)]);
    }
    {
        const float decay = setup_.residualDecay;
        float* __restrict res = residual_;
        float* __restrict a = binA_;
        const float* __restrict f = binB_;
        const float* __restrict py = pwY_;
        const float* __restrict pe = pwE_;
        const float* __restrict pp = pePrev_;
        const float* __restrict gp = gainPrev_;
        for (int j = 0; j < bins_; ++j) {
            res[j] = std::max(decay * res[j], py[j] * f[j]);
            const float prior =
                (pp[j] * gp[j] * gp[j] * 0.9f + std::max(pe[j] - res[j], 0.0f) * 0.1f) /
                (res[j] + 1e-20f);
            a[j] = clampf(prior / (prior + 1.0f), 0.1f, 1.0f);
        }
    }
    {
        const float* __restrict a = binA_;
        float* __restrict g = gain_;
        g[0] = 0.75f * a[0] + 0.25f * a[1];
        for (int j = 1; j < n; ++j) g[j] = 0.25f * a[j - 1] + 0.5f * a[j] + 0.25f * a[j + 1];
        g[n] = 0.25f * a[n - 1] + 0.75f * a[n];
    }
    copy(gainPrev_, gain_, bins_);
    copy(pePrev_, pwE_, bins_);
    scaleBins();
    inverse(wRe_, wIm_, timeA_);
    {
        const float* __restrict t = timeA_;
        const float* __restrict w = window_;
        float* __restrict out = outBlock_;
        float* __restrict tail = olaTail_;
        for (int i = 0; i < n; ++i) {
            out[i] = tail[i] + t[i] * w[i];
            tail[i] = t[n + i] * w[n + i];
        }
    }
}

void EchoCanceller::scaleBins() {
    float* __restrict r = wRe_;
    float* __restrict i = wIm_;
    const float* __restrict g = gain_;
    const float nyquistGain = g[n_];
    const float imDc = i[0];
    for (int k = 0; k < n_; ++k) {
        r[k] *= g[k];
        i[k] *= g[k];
    }
    i[0] = imDc * nyquistGain;
}

}  // namespace sayloft::recorder
