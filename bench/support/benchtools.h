// Helpers shared by the benchmarks: percentiles of a series of timings, and a data processor that
// counts what reaches DataReceived.
#pragma once

#include "qx/qxdataprocessor.h"

#include <algorithm>
#include <functional>
#include <vector>

struct Percentiles {
  double median = 0;
  double p99 = 0;
};

inline Percentiles Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

class CountingProcessor : public TqxCustomDataProcessor {
public:
  using TqxCustomDataProcessor::DataReceived;
  void DataReceived(const char*, int Count, TProcessorFlags&) override {
    received += Count;
    if (onData) onData();
  }
  long long received = 0;
  std::function<void()> onData;
};
