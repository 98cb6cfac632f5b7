#pragma once
// Fixed texts of the import engine (GBK in the binary).

// The folder beside the program that receives tidied desktop items.
inline constexpr char ManagedFolderName[] = "被Tarn管理的快捷方式";
// The batch file beside the program that puts the tidied items back.
inline constexpr char RestoreBatchName[] = "双击还原桌面快捷方式.bat";
