/* Resource ids of the Windows program, shared by vqr03.rc and the window code. */
#pragma once

#define VQR_IDD_ABOUT 103       /* the about box */
#define VQR_IDM_ABOUT 104       /* command that opens it */
#define VQR_IDI_LARGE 107       /* large icon */
#define VQR_IDI_SMALL 108       /* small icon */
#define VQR_IDC_MAIN 109        /* class name string, menu name and accelerator table */
#define VQR_IDC_ABOUT_TEXT 1000 /* the about box's line of text */
