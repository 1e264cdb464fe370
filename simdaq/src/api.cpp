// The exported C functions: each takes the process-wide lock and hands the
// call to the one simulated driver of the process (process_driver.h).
#include <mutex>

#include "NIDAQmx.h"
#include "driver.h"
#include "process_driver.h"

#if defined(_WIN32)
#define SIMDAQ_EXPORT __declspec(dllexport)
#else
#define SIMDAQ_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Nothing may escape into the caller's C code. Running out of memory is the
// only exception the driver can meet; it reports the driver's "memory full".
template <typename Call>
int32 Guarded(Call call) {
  try {
    std::lock_guard<std::mutex> lock(maroquint::simdaq::ProcessLock());
    maroquint::simdaq::Driver &driver = maroquint::simdaq::ProcessDriver();
    const int32 status = call(driver);
    maroquint::simdaq::FollowRecording(driver);
    return status;
  } catch (...) {
    return maroquint::simdaq::code::kMemoryFull;
  }
}

}  // namespace

extern "C" {

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateTask(const char taskName[], TaskHandle *taskHandle) {
  return Guarded([&](maroquint::simdaq::Driver &d) { return d.CreateTask(taskName, taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateAOVoltageChan(TaskHandle taskHandle,
                                                     const char physicalChannel[],
                                                     const char nameToAssignToChannel[],
                                                     float64 minVal, float64 maxVal, int32 units,
                                                     const char customScaleName[]) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.CreateAOVoltageChan(taskHandle, physicalChannel, nameToAssignToChannel, minVal, maxVal,
                                 units, customScaleName);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateAIVoltageChan(TaskHandle taskHandle,
                                                     const char physicalChannel[],
                                                     const char nameToAssignToChannel[],
                                                     int32 terminalConfig, float64 minVal,
                                                     float64 maxVal, int32 units,
                                                     const char customScaleName[]) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.CreateAIVoltageChan(taskHandle, physicalChannel, nameToAssignToChannel, terminalConfig,
                                 minVal, maxVal, units, customScaleName);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCfgSampClkTiming(TaskHandle taskHandle, const char source[],
                                                  float64 rate, int32 activeEdge, int32 sampleMode,
                                                  uInt64 sampsPerChan) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.CfgSampClkTiming(taskHandle, source, rate, activeEdge, sampleMode, sampsPerChan);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxSetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle,
                                                                     bool32 data) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.SetRealTimeConvLateErrorsToWarnings(taskHandle, data);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxStartTask(TaskHandle taskHandle) {
  return Guarded([&](maroquint::simdaq::Driver &d) { return d.StartTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxWriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan,
                                                bool32 autoStart, float64 timeout,
                                                bool32 dataLayout, const float64 writeArray[],
                                                int32 *sampsPerChanWritten, bool32 *reserved) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.WriteAnalogF64(taskHandle, numSampsPerChan, autoStart, timeout, dataLayout, writeArray,
                            sampsPerChanWritten, reserved);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan,
                                               float64 timeout, bool32 fillMode,
                                               float64 readArray[], uInt32 arraySizeInSamps,
                                               int32 *sampsPerChanRead, bool32 *reserved) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.ReadAnalogF64(taskHandle, numSampsPerChan, timeout, fillMode, readArray,
                           arraySizeInSamps, sampsPerChanRead, reserved);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxStopTask(TaskHandle taskHandle) {
  return Guarded([&](maroquint::simdaq::Driver &d) { return d.StopTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxClearTask(TaskHandle taskHandle) {
  return Guarded([&](maroquint::simdaq::Driver &d) { return d.ClearTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxGetExtendedErrorInfo(char errorString[], uInt32 bufferSize) {
  return Guarded([&](maroquint::simdaq::Driver &d) {
    return d.GetExtendedErrorInfo(errorString, bufferSize);
  });
}

}  // extern "C"
