// Tests that run a real image fail on any report of the chip (a refused
// register write, a broken key sequence, a conversion before power-up...)
// unless the test provokes it and says so: allow() takes a piece of the
// report's text. Fixtures hold one guard per chip; it checks when it goes.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip.h"

namespace nodetest {

class ReportGuard {
public:
    explicit ReportGuard(const sim::Chip& chip) : chip_(&chip) {}
    ReportGuard(const ReportGuard&) = delete;
    ReportGuard& operator=(const ReportGuard&) = delete;
    ~ReportGuard() { check(); }

    // Reports containing `piece` are expected from here on.
    void allow(std::string piece) { allowed_.push_back(std::move(piece)); }
    // The reports so far that nothing allows.
    std::vector<std::string> unexpected() const {
        std::vector<std::string> out;
        for (const std::string& r : chip_->reports()) {
            bool ok = false;
            for (const std::string& a : allowed_) ok = ok || r.find(a) != std::string::npos;
            if (!ok) out.push_back(r);
        }
        return out;
    }
    void check() {
        if (checked_) return;
        checked_ = true;
        for (const std::string& r : unexpected()) ADD_FAILURE() << "unexpected report from the chip: " << r;
    }

private:
    const sim::Chip* chip_;
    std::vector<std::string> allowed_;
    bool checked_ = false;
};

}  // namespace nodetest
