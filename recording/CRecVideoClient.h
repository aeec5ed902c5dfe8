#pragma once
// The recording consumer of one channel: takes frames at the configured pace and stores them
// as events below the channel directory, with the ".erdinfo" index; embeds the cleaner thread.
//
// Created by the channel's constructor (CVideoCnl::createRecorder), started by the channel's
// run thread, stopped/joined/destroyed by the channel's destructor. init(), update() and
// status() run on the configuration server's thread (or the GUI thread at start-up).
//
// (Interface required by CVideoCnl; the recording module completes the class.)
#include <string>

#include "channels/CMXClient.h"
#include "channels/CVideoCnl.h"

class CRecVideoClient : public CVideoClient {
 public:
  explicit CRecVideoClient(CVideoCnl* cnl);
  ~CRecVideoClient() override;

  // Reads the recording settings of the channel's section.
  void init();
  // Validates and stores the recording form fields; false when the block was refused.
  bool update(const FormFields& fields, std::string& html);
  // Appends the recording rows of the channel's status table.
  void status(std::string& html);
  void stop() override;

 protected:
  FX::FXint run() override;
};
