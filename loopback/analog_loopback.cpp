#include "analog_loopback.h"

#include "NIDAQmx.h"
#include "base/text.h"

namespace maroquint::loopback {

namespace {

constexpr char kOutputChannel[] = "Dev1/ao0";
constexpr char kInputChannel[] = "Dev1/ai0";
constexpr char kClockSource[] = "OnboardClock";
constexpr float64 kMinVolts = -10.0;
constexpr float64 kMaxVolts = 10.0;
constexpr float64 kSampleRate = 10000.0;
constexpr uInt64 kSamplesPerChannel = 1;
constexpr float64 kTimeoutSeconds = 10.0;

}  // namespace

DaqStatus AnalogLoopback::Open() {
  DaqStatus status = DAQmxCreateTask("", &output_task_);
  if (status < 0) return status;
  status = DAQmxCreateAOVoltageChan(output_task_, kOutputChannel, "", kMinVolts, kMaxVolts,
                                    DAQmx_Val_Volts, "");
  if (status < 0) return status;
  status = DAQmxCfgSampClkTiming(output_task_, kClockSource, kSampleRate, DAQmx_Val_Rising,
                                 DAQmx_Val_HWTimedSinglePoint, kSamplesPerChannel);
  if (status < 0) return status;

  status = DAQmxCreateTask("", &input_task_);
  if (status < 0) return status;
  status = DAQmxCreateAIVoltageChan(input_task_, kInputChannel, "", DAQmx_Val_RSE, kMinVolts,
                                    kMaxVolts, DAQmx_Val_Volts, nullptr);
  if (status < 0) return status;
  // The input samples on the falling edge of the clock, half a period after
  // the output has been updated on the rising edge.
  status = DAQmxCfgSampClkTiming(input_task_, kClockSource, kSampleRate, DAQmx_Val_Falling,
                                 DAQmx_Val_HWTimedSinglePoint, kSamplesPerChannel);
  if (status < 0) return status;

  // A late output sample must not end a run that lasts for days.
  status = DAQmxSetRealTimeConvLateErrorsToWarnings(output_task_, 1);
  if (status < 0) return status;

  status = DAQmxStartTask(output_task_);
  if (status < 0) return status;
  return DAQmxStartTask(input_task_);
}

DaqStatus AnalogLoopback::WriteLevel(double level) {
  const float64 sample[1] = {level};
  return DAQmxWriteAnalogF64(output_task_, 1, 1, kTimeoutSeconds, DAQmx_Val_GroupByChannel, sample,
                             nullptr, nullptr);
}

maroquint::base::Result<double, DaqStatus> AnalogLoopback::ReadSample() {
  float64 reading = 0.0;
  int32 samples_read = 0;
  const DaqStatus status =
      DAQmxReadAnalogF64(input_task_, 1, kTimeoutSeconds, DAQmx_Val_GroupByChannel, &reading, 1,
                         &samples_read, nullptr);
  if (status < 0)
    return maroquint::base::Fail(status,
                                 maroquint::base::Format("DAQmxReadAnalogF64: status %d", status));
  return reading;
}

void AnalogLoopback::ErrorText(char (&text)[kErrorTextSize]) {
  DAQmxGetExtendedErrorInfo(text, static_cast<uInt32>(kErrorTextSize));
  // A driver that fills the whole buffer must not leave the caller an
  // unterminated text.
  text[kErrorTextSize - 1] = '\0';
}

void AnalogLoopback::Close() {
  if (output_task_ != nullptr) {
    DAQmxStopTask(output_task_);
    DAQmxClearTask(output_task_);
    output_task_ = nullptr;
  }
  if (input_task_ != nullptr) {
    DAQmxStopTask(input_task_);
    DAQmxClearTask(input_task_);
    input_task_ = nullptr;
  }
}

}  // namespace maroquint::loopback
