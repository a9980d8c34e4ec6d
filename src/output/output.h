// Output files: path routines, folder creation, output file creation, the
// overwrite decision and file times.
#ifndef KVSFX_OUTPUT_H
#define KVSFX_OUTPUT_H

#include <stdint.h>

int IsAsciiLetter(char c);
int IsPathSeparator(char c);
char* LastChar(char* text);        // null for an empty text
char* LastSeparator(char* text);   // null when there is none
char* LastComponent(char* text);
const char* LastComponent(const char* text);
void AppendSeparator(char* text);
int StripTrailingSeparator(char* text);
int PathExists(const char* path, uint32_t* folderFlag);
int MakeFolder(const char* path);
int IsValidDrive(const char* path);

// Refuses (message 28 naming the entry, end of the run) entry names that
// would leave the destination folder.
void CheckEntryNameSafe();
// The same with the rules of Windows names (':' and device names) switched
// on or off; CheckEntryNameSafe uses those of the system it runs on.
void CheckEntryNameSafeFor(int windowsRules);
// 1 when a component of name is "..", or, with windowsRules, when name
// holds a ':' or a device name: joined under a folder, it would leave it.
int NameLeavesFolder(const char* name, int windowsRules);
void BuildOutputPath();
void CreateFolders();
void ForgetKnownFolders();  // at each run's start: folders are looked at again
// A path the run is about to give a file: 1 when it lies in a folder this
// run made and this run has made or chosen nothing of that path before, so
// that nothing can be there and no look-up is needed.
int ClaimOutputPath(const char* path);

int ConfirmOverwrite();  // 1 extract, 0 skip; Cancel ends the run with 1
void CreateOutputFile();   // under a temporary name, partName
void NameOutputFile();     // gives the complete file its name
void DiscardOutputFile();  // closes and removes a file left incomplete
void SetOutputFileTime();

#endif
