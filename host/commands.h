// The subcommands of the host tool; each returns the process exit status.
#pragma once

int CmdList(int argc, char** argv);
int CmdExtract(int argc, char** argv);
int CmdTest(int argc, char** argv);
int CmdPack(int argc, char** argv);
int CmdAdd(int argc, char** argv);
int CmdDelete(int argc, char** argv);
