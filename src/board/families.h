// The families of the board as functions of a board: the classic exports
// call them on the default board, the handle API on the board of a handle.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "tarvelin.h"

struct tagSAFEARRAY;

namespace tarvelin {

int32_t WriteCommand(Board& board, const char* command);
int32_t GetErrorMessageVb(Board& board, char* buffer);
int32_t PortOpen(Board& board, int32_t port);
int32_t PortConfigure(Board& board, int32_t port, int32_t baudRate);
int32_t PortClose(Board& board);
int32_t ChangeBaudRate(Board& board, int32_t baudRate);
int32_t ADCAnalogSampling(Board& board, int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount,
                          int32_t gOption, int32_t* values);
int32_t ADCAnalogSamplingVb(Board& board, int32_t resolution, int32_t channelMask, int32_t rateCode,
                            int32_t sampleCount, int32_t gOption, struct tagSAFEARRAY** valueArray);
// Block sampling into a buffer of `capacity` values, telling `progress` as the
// values arrive; `stored` receives one past the highest index stored.
struct SampleRequest {
  int32_t resolution;
  int32_t channelMask;
  int32_t rateCode;
  int32_t sampleCount;
  int32_t* values;
  int32_t capacity;
  tarvelin_progress progress;
  void* context;
};
int32_t SampleIntoBuffer(Board& board, const SampleRequest& request, int32_t* stored);
// Opens the board on COM `port`, or on `device` when it is not null, at `baudRate`.
int32_t OpenBoard(Board& board, int32_t port, const char* device, int32_t baudRate);
int32_t ADCAnalog(Board& board, int32_t resolution, int32_t channel);
int32_t ReadADCM2(Board& board, int32_t mode);
int32_t IOPortRead(Board& board, int32_t port);
int32_t IOPortWrite(Board& board, int32_t port, int32_t value);
int32_t IO485Address(Board& board, int32_t address, int32_t selector, int32_t broadcast);
int32_t IO485Initialize(Board& board);
int32_t ResetIO485Network(Board& board);
int32_t SetPWMFrequency(Board& board, int32_t frequency, int32_t dutyCycle, int32_t pulses);
int32_t GetPWMOutputCounter(Board& board);
int32_t GetPeriod(Board& board);
int32_t MotorGo(Board& board, int32_t first, int32_t second, int32_t number1, int32_t number2, int32_t number3,
                int32_t number4);
int32_t MotorStop(Board& board);
int32_t MotorCounterReset(Board& board);
int32_t GetMotorCounter(Board& board);
int32_t GetMotorFlag(Board& board);
int32_t DisableMotor(Board& board);

}  // namespace tarvelin
