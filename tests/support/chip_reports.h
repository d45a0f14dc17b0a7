// Tests that run a real image fail on any report of the chip (a refused
// register write, a broken key sequence, a conversion before power-up...)
// unless the test provokes it and says so: allow() takes a piece of the
// report's text. Fixtures hold one guard per chip; it checks when it goes.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip/chip.h"

namespace nodetest {

class ReportGuard {
public:
    explicit ReportGuard(const sim::Chip& chip) : chip_(&chip) {}
    ReportGuard(const ReportGuard&) = delete;
    ReportGuard& operator=(const ReportGuard&) = delete;
    ~ReportGuard() { check(); }

    // Reports containing `piece` are expected from here on.
    void allow(std::string piece) { allowed_.push_back(std::move(piece)); }
    // The reports so far were a fixture's own doing: only later ones count.
    void skipSoFar() { from_ = chip_->reports().size(); }
    // The reports so far that nothing allows.
    std::vector<std::string> unexpected() const {
        std::vector<std::string> out;
        const auto& all = chip_->reports();
        for (size_t i = from_; i < all.size(); ++i) {
            const std::string& r = all[i];
            bool ok = false;
            for (const std::string& a : allowed_) ok = ok || r.find(a) != std::string::npos;
            if (!ok) out.push_back(r);
        }
        return out;
    }
    void check() {
        // Only a test fails; a benchmark using the same rigs is not one.
        if (checked_ || !::testing::UnitTest::GetInstance()->current_test_info()) return;
        checked_ = true;
        for (const std::string& r : unexpected()) ADD_FAILURE() << "unexpected report from the chip: " << r;
    }

private:
    const sim::Chip* chip_;
    std::vector<std::string> allowed_;
    bool checked_ = false;
    size_t from_ = 0;
};

}  // namespace nodetest
