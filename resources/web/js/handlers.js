/* Event handlers of the send-files page. The uploader calls each with itself as "this";
   the page's settings name them. One progress box per file (fileprogress.js) shows what
   happens; divStatus counts the files of a finished queue. */

var oldTime = 0;
var strStatus = "Idle";

function cancelButton(swfu) {
	return document.getElementById(swfu.customSettings.cancelButtonId);
}

function fileQueued(file) {
	try {
		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setStatus("Pending...");
		progress.toggleCancel(true, this);
	} catch (ex) {
		this.debug(ex);
	}
}

function fileQueueError(file, errorCode, message) {
	try {
		if (errorCode === SWFUpload.QUEUE_ERROR.QUEUE_LIMIT_EXCEEDED) {
			// message is how many more files may still be chosen.
			var left = parseInt(message, 10);
			alert("You have attempted to queue too many files.\n" +
				(left === 0 ? "You have reached the file limit." :
					"You may select " + (left > 1 ? "up to " + left + " files." : "one file.")));
			return;
		}

		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setError();
		progress.toggleCancel(false);

		switch (errorCode) {
		case SWFUpload.QUEUE_ERROR.FILE_EXCEEDS_SIZE_LIMIT:
			progress.setStatus("File is too big.");
			break;
		case SWFUpload.QUEUE_ERROR.ZERO_BYTE_FILE:
			progress.setStatus("Cannot upload Zero Byte files.");
			break;
		case SWFUpload.QUEUE_ERROR.INVALID_FILETYPE:
			progress.setStatus("Invalid File Type.");
			break;
		default:
			progress.setStatus("Unhandled Error");
			break;
		}
		this.debug("Queue error " + errorCode + ", file " + (file ? file.name : "") + ": " + message);
	} catch (ex) {
		this.debug(ex);
	}
}

function fileDialogComplete(numFilesSelected, numFilesQueued) {
	try {
		if (numFilesSelected > 0) {
			cancelButton(this).disabled = false;
		}
		// Sending starts at once; the queue goes on by itself after each file.
		this.startUpload();
	} catch (ex) {
		this.debug(ex);
	}
}

function uploadStart(file) {
	try {
		oldTime = 0;
		strStatus = "Sending...";
		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setStatus(strStatus);
		progress.toggleCancel(true, this);
	} catch (ex) {
		this.debug(ex);
	}
	return true;
}

function uploadProgress(file, bytesLoaded, bytesTotal) {
	try {
		var percent = bytesTotal > 0 ? Math.ceil((bytesLoaded / bytesTotal) * 100) : 100;
		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setProgress(percent);
		// The speed figures are read at most once a second, so the text stays readable.
		if (file.timeElapsed > oldTime + 1) {
			oldTime = file.timeElapsed;
			strStatus = "Sending..." + percent + "%, " +
				SWFUpload.speed.formatTime(file.timeRemaining) + " remaining";
		}
		progress.setStatus(strStatus);
	} catch (ex) {
		this.debug(ex);
	}
}

function uploadSuccess(file, serverData) {
	try {
		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setComplete();
		progress.setStatus("Complete.");
		progress.toggleCancel(false);
	} catch (ex) {
		this.debug(ex);
	}
}

function uploadError(file, errorCode, message) {
	try {
		var progress = new FileProgress(file, this.customSettings.progressTarget);
		progress.setError();
		progress.toggleCancel(false);

		switch (errorCode) {
		case SWFUpload.UPLOAD_ERROR.HTTP_ERROR:
			progress.setStatus("Send Error: " + message);
			break;
		case SWFUpload.UPLOAD_ERROR.UPLOAD_FAILED:
			progress.setStatus("Send Failed.");
			break;
		case SWFUpload.UPLOAD_ERROR.IO_ERROR:
			progress.setStatus("IO Error at Receiver");
			break;
		case SWFUpload.UPLOAD_ERROR.SECURITY_ERROR:
			progress.setStatus("Security Error");
			break;
		case SWFUpload.UPLOAD_ERROR.UPLOAD_LIMIT_EXCEEDED:
			progress.setStatus("Send limit exceeded.");
			break;
		case SWFUpload.UPLOAD_ERROR.FILE_VALIDATION_FAILED:
			progress.setStatus("Failed Validation. File Skipped.");
			break;
		case SWFUpload.UPLOAD_ERROR.FILE_CANCELLED:
			if (this.getStats().files_queued === 0) {
				cancelButton(this).disabled = true;
			}
			progress.setStatus("Cancelled");
			progress.setCancelled();
			break;
		case SWFUpload.UPLOAD_ERROR.UPLOAD_STOPPED:
			progress.setStatus("Stopped");
			break;
		default:
			progress.setStatus("Unhandled Error: " + errorCode);
			break;
		}
		this.debug("Upload error " + errorCode + ", file " + file.name + ": " + message);
	} catch (ex) {
		this.debug(ex);
	}
}

function uploadComplete(file) {
	if (this.getStats().files_queued === 0) {
		cancelButton(this).disabled = true;
	}
}

// The queue plug-in calls this once the last queued file is done.
function queueComplete(numFilesUploaded) {
	var status = document.getElementById("divStatus");
	status.innerHTML = "";
	status.appendChild(document.createTextNode(
		numFilesUploaded + " file" + (numFilesUploaded === 1 ? "" : "s") + " sent."));
}
