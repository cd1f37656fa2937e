/* One progress box per file on the send-files page, kept in the element named by the
   page's progressTarget and found again by the file's id. Finished boxes fade out. */

function FileProgress(file, targetID) {
	this.fileProgressID = file.id;
	this.opacity = 100;
	this.height = 0;

	this.fileProgressWrapper = document.getElementById(this.fileProgressID);
	if (!this.fileProgressWrapper) {
		this.fileProgressWrapper = document.createElement("div");
		this.fileProgressWrapper.className = "progressWrapper";
		this.fileProgressWrapper.id = this.fileProgressID;

		this.fileProgressElement = document.createElement("div");
		this.fileProgressElement.className = "progressContainer";

		var progressCancel = document.createElement("a");
		progressCancel.className = "progressCancel";
		progressCancel.href = "#";
		progressCancel.title = "Cancel";
		progressCancel.style.visibility = "hidden";
		progressCancel.appendChild(document.createTextNode(" "));

		var progressText = document.createElement("div");
		progressText.className = "progressName";
		// A text node, never markup: the name comes from the visitor's disk.
		progressText.appendChild(document.createTextNode(file.name));

		var progressBar = document.createElement("div");
		progressBar.className = "progressBarInProgress";

		var progressStatus = document.createElement("div");
		progressStatus.className = "progressBarStatus";
		progressStatus.innerHTML = "&nbsp;";

		this.fileProgressElement.appendChild(progressCancel);
		this.fileProgressElement.appendChild(progressText);
		this.fileProgressElement.appendChild(progressBar);
		this.fileProgressElement.appendChild(progressStatus);

		this.fileProgressWrapper.appendChild(this.fileProgressElement);
		document.getElementById(targetID).appendChild(this.fileProgressWrapper);
	} else {
		this.fileProgressElement = this.fileProgressWrapper.firstChild;
	}
	this.appear();
}

// Handlers make a new FileProgress for every event, so the pending fade is kept on the box's
// element, where the next one finds it.
FileProgress.prototype.setTimer = function (timer) {
	this.fileProgressElement["FP_TIMER"] = timer;
};

FileProgress.prototype.getTimer = function () {
	return this.fileProgressElement["FP_TIMER"] || null;
};

FileProgress.prototype.setProgress = function (percentage) {
	this.fileProgressElement.className = "progressContainer green";
	this.fileProgressElement.childNodes[2].className = "progressBarInProgress";
	this.fileProgressElement.childNodes[2].style.width = percentage + "%";
	this.appear();
};

FileProgress.prototype.setComplete = function () {
	this.fileProgressElement.className = "progressContainer blue";
	this.fileProgressElement.childNodes[2].className = "progressBarComplete";
	this.fileProgressElement.childNodes[2].style.width = "";
	this.fadeLater(10000);
};

FileProgress.prototype.setError = function () {
	this.fileProgressElement.className = "progressContainer red";
	this.fileProgressElement.childNodes[2].className = "progressBarError";
	this.fileProgressElement.childNodes[2].style.width = "";
	this.fadeLater(5000);
};

FileProgress.prototype.setCancelled = function () {
	this.fileProgressElement.className = "progressContainer";
	this.fileProgressElement.childNodes[2].className = "progressBarError";
	this.fileProgressElement.childNodes[2].style.width = "";
	this.fadeLater(2000);
};

FileProgress.prototype.setStatus = function (status) {
	var line = this.fileProgressElement.childNodes[3];
	line.innerHTML = "";
	line.appendChild(document.createTextNode(status));
};

// Shows or hides the box's cancel link; with an uploader, the link cancels this file.
FileProgress.prototype.toggleCancel = function (show, swfUploadInstance) {
	var link = this.fileProgressElement.childNodes[0];
	link.style.visibility = show ? "visible" : "hidden";
	if (swfUploadInstance) {
		var fileID = this.fileProgressID;
		link.onclick = function () {
			swfUploadInstance.cancelUpload(fileID);
			return false;
		};
	}
};

FileProgress.prototype.fadeLater = function (delay) {
	var oSelf = this;
	clearTimeout(this.getTimer());
	this.setTimer(setTimeout(function () {
		oSelf.disappear();
	}, delay));
};

FileProgress.prototype.appear = function () {
	clearTimeout(this.getTimer());
	this.setTimer(null);
	var style = this.fileProgressWrapper.style;
	style.opacity = "";
	style.filter = "";
	style.height = "";
	style.display = "";
	this.height = this.fileProgressWrapper.offsetHeight;
	this.opacity = 100;
};

// Fades the box: opacity down by 15 and height down by 4 pixels every 30 ms, then hides it.
FileProgress.prototype.disappear = function () {
	var reduceOpacityBy = 15;
	var reduceHeightBy = 4;
	var rate = 30;
	var style = this.fileProgressWrapper.style;

	if (this.opacity > 0) {
		this.opacity = Math.max(0, this.opacity - reduceOpacityBy);
		style.opacity = this.opacity / 100;
		style.filter = "alpha(opacity=" + this.opacity + ")";
	}
	if (this.height > 0) {
		this.height = Math.max(0, this.height - reduceHeightBy);
		style.height = this.height + "px";
		style.overflow = "hidden";
	}

	if (this.opacity > 0 || this.height > 0) {
		var oSelf = this;
		this.setTimer(setTimeout(function () {
			oSelf.disappear();
		}, rate));
	} else {
		style.display = "none";
		this.setTimer(null);
	}
};
