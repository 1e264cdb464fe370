/*
 * The part of National Instruments' NI-DAQmx C API that Maroquint calls,
 * written from the driver's documented prototypes. The program compiles
 * against this header whichever library it links: the real driver
 * (nicaiu on Windows, nidaqmx on Linux) or the simulated one in simdaq/.
 */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The driver's functions use the stdcall convention on Windows; the
 * compiler ignores it on 64-bit targets, where there is only one. */
#ifndef __CFUNC
#if defined(_WIN32)
#define __CFUNC __stdcall
#else
#define __CFUNC
#endif
#endif

typedef int32_t int32;
typedef uint32_t uInt32;
typedef uint64_t uInt64;
typedef double float64;
typedef uInt32 bool32;
typedef void *TaskHandle;

#define DAQmx_Val_Volts 10348
#define DAQmx_Val_Rising 10280
#define DAQmx_Val_Falling 10171
#define DAQmx_Val_HWTimedSinglePoint 12522
#define DAQmx_Val_RSE 10083
#define DAQmx_Val_GroupByChannel 0
#define DAQmx_Val_GroupByScanNumber 1

#define DAQmxFailed(error) ((error) < 0)

int32 __CFUNC DAQmxCreateTask(const char taskName[], TaskHandle *taskHandle);
int32 __CFUNC DAQmxCreateAOVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                       const char nameToAssignToChannel[], float64 minVal,
                                       float64 maxVal, int32 units, const char customScaleName[]);
int32 __CFUNC DAQmxCreateAIVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                       const char nameToAssignToChannel[], int32 terminalConfig,
                                       float64 minVal, float64 maxVal, int32 units,
                                       const char customScaleName[]);
int32 __CFUNC DAQmxCfgSampClkTiming(TaskHandle taskHandle, const char source[], float64 rate,
                                    int32 activeEdge, int32 sampleMode, uInt64 sampsPerChan);
int32 __CFUNC DAQmxSetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle, bool32 data);
int32 __CFUNC DAQmxStartTask(TaskHandle taskHandle);
int32 __CFUNC DAQmxWriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, bool32 autoStart,
                                  float64 timeout, bool32 dataLayout, const float64 writeArray[],
                                  int32 *sampsPerChanWritten, bool32 *reserved);
int32 __CFUNC DAQmxReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, float64 timeout,
                                 bool32 fillMode, float64 readArray[], uInt32 arraySizeInSamps,
                                 int32 *sampsPerChanRead, bool32 *reserved);
int32 __CFUNC DAQmxStopTask(TaskHandle taskHandle);
int32 __CFUNC DAQmxClearTask(TaskHandle taskHandle);
int32 __CFUNC DAQmxGetExtendedErrorInfo(char errorString[], uInt32 bufferSize);

#ifdef __cplusplus
}
#endif

/* On 32-bit Windows a caller built with another convention than the
 * driver's would corrupt its stack on every call; a __CFUNC defined away
 * before this header, or a declaration without it, fails here instead. */
#if defined(__cplusplus) && defined(_WIN32) && !defined(_WIN64)
namespace nidaqmx_convention {
template <class R, class... A>
constexpr bool IsStdcall(R(__stdcall *)(A...)) {
  return true;
}
template <class R, class... A>
constexpr bool IsStdcall(R(__cdecl *)(A...)) {
  return false;
}
static_assert(IsStdcall(&DAQmxCreateTask) && IsStdcall(&DAQmxCreateAOVoltageChan) &&
                  IsStdcall(&DAQmxCreateAIVoltageChan) && IsStdcall(&DAQmxCfgSampClkTiming) &&
                  IsStdcall(&DAQmxSetRealTimeConvLateErrorsToWarnings) &&
                  IsStdcall(&DAQmxStartTask) && IsStdcall(&DAQmxWriteAnalogF64) &&
                  IsStdcall(&DAQmxReadAnalogF64) && IsStdcall(&DAQmxStopTask) &&
                  IsStdcall(&DAQmxClearTask) && IsStdcall(&DAQmxGetExtendedErrorInfo),
              "NI-DAQmx functions must be __stdcall on 32-bit Windows, as nicaiu.dll exports them");
}  // namespace nidaqmx_convention
#endif
