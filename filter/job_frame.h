// The commands sent once per job: the settings block before the first page
// and the end-of-job command after the last.
#pragma once

// sendSettingsToPrinter: append the 71-byte settings block (unless the job
// asked for CmdCancel=CancelAttr).
void sendSettingsToPrinter();

// JobFinish: append the end-of-job command (unless CmdCancel=CancelJobFinish),
// write out everything held and release the encode buffer.
void JobFinish();
